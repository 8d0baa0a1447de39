#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/ae_test_host.h"
#include "evenblur/evenblur_ae_host.h"

// A project with one new Evenblur instance on the in-memory test host: the host's parameter
// records are the ones the effect registered at parameter setup, so every control starts at its
// default. The parameter callbacks are wrapped to record what the effect checks out and in, and
// to refuse chosen calls; handle creation can be refused from the n-th call on.
class EvenblurTestProject {
public:
    EvenblurTestProject() {
        current_ = this;
        {
            EvenblurAEHost effect;
            effect.dispatch(PF_Cmd_PARAMS_SETUP, &host.in_data, &host.out_data, host.paramList(),
                            nullptr, nullptr);
        }
        host.setParameterCount(EvenblurAEHost::kParameterCount);
        for (size_t i = 0; i < host.added.size() && i + 1 < host.parameters.size(); ++i) {
            host.parameters[i + 1] = host.added[i];
        }
        original_checkout_ = host.in_data.inter.checkout_param;
        original_checkin_ = host.in_data.inter.checkin_param;
        original_add_ = host.in_data.inter.add_param;
        original_new_handle_ = host.utils.host_new_handle;
        host.in_data.inter.checkout_param = &EvenblurTestProject::checkout;
        host.in_data.inter.checkin_param = &EvenblurTestProject::checkin;
        host.in_data.inter.add_param = &EvenblurTestProject::add;
        host.utils.host_new_handle = &EvenblurTestProject::newHandle;
    }
    ~EvenblurTestProject() { current_ = nullptr; }
    EvenblurTestProject(const EvenblurTestProject&) = delete;
    EvenblurTestProject& operator=(const EvenblurTestProject&) = delete;

    PF_ParamDef& param(int32_t position) { return host.parameters[size_t(position)]; }

    // Points the effect object at this project's records, as dispatch does for a command.
    void attach(EvenblurAEHost& effect) {
        effect.command.in_data = &host.in_data;
        effect.command.out_data = &host.out_data;
        effect.command.params = host.paramList();
        effect.command.output = nullptr;
        effect.command.extra = nullptr;
    }

    AETestHost host;

    // Positions checked out, in call order (failed calls included).
    std::vector<int32_t> checkout_positions;
    // Stable ids of the records checked in, in call order.
    std::vector<int32_t> checkin_ids;
    // The checkout of this position fails with checkout_error (-1: none fails).
    int32_t failing_checkout = -1;
    PF_Err checkout_error = PF_Err_INVALID_INDEX;
    // The add_param call with this number (from 1) fails with add_error (0: none fails).
    int32_t failing_add = 0;
    PF_Err add_error = PF_Err_OUT_OF_MEMORY;
    int32_t add_calls = 0;
    // Handle requests from this number (from 1) on are refused (0: none are).
    int32_t refuse_handles_from = 0;
    int32_t handle_requests = 0;

private:
    static PF_Err checkout(PF_ProgPtr ref, PF_ParamIndex index, A_long time, A_long step,
                           A_u_long scale, PF_ParamDef* def) {
        EvenblurTestProject& p = *current_;
        p.checkout_positions.push_back(index);
        if (index == p.failing_checkout) return p.checkout_error;
        return p.original_checkout_(ref, index, time, step, scale, def);
    }
    static PF_Err checkin(PF_ProgPtr ref, PF_ParamDef* def) {
        EvenblurTestProject& p = *current_;
        p.checkin_ids.push_back(def != nullptr ? def->uu.id : -1);
        return p.original_checkin_(ref, def);
    }
    static PF_Err add(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDefPtr def) {
        EvenblurTestProject* p = current_;
        if (p == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        ++p->add_calls;
        if (p->add_calls == p->failing_add) return p->add_error;
        return p->original_add_(ref, index, def);
    }
    // Called from worker threads too, under the effect's handle lock.
    static PF_Handle newHandle(A_u_longlong size) {
        EvenblurTestProject& p = *current_;
        ++p.handle_requests;
        if (p.refuse_handles_from > 0 && p.handle_requests >= p.refuse_handles_from) {
            return nullptr;
        }
        return p.original_new_handle_(size);
    }

    static inline EvenblurTestProject* current_ = nullptr;
    decltype(PF_InteractCallbacks::checkout_param) original_checkout_ = nullptr;
    decltype(PF_InteractCallbacks::checkin_param) original_checkin_ = nullptr;
    decltype(PF_InteractCallbacks::add_param) original_add_ = nullptr;
    PF_Handle (*original_new_handle_)(A_u_longlong) = nullptr;
};
