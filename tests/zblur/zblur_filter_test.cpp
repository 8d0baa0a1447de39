#include "zblur/zblur_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "tests/support/bt709_reference.h"
#include "imaging/iris_kernel.h"
#include "imaging/outside_mode.h"
#include "framework/thread_pool.h"
#include "tests/zblur/zblur_filter_support.h"

namespace {

// Every suite that runs one case at each pixel depth of the host (8 bits 0..255, 16 bits
// 0..32768, float 0..1) shares this empty fixture under its own suite name.
template <class P>
class ZblurPixelTest : public ::testing::Test {};
using ZblurPixelTypes = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;

// ---- independent references -----------------------------------------------------------------

// A level's kernel as the iris builder makes it, expanded to a dense image and normalised.
struct DenseLevel {
    DenseIrisKernel dense;
    double sum = 0.0;
    int32_t left = 0, right = -1, top = 0, bottom = -1;  // bounding box of non-zero weights
};

DenseLevel dense_level(const ZblurSettings& settings, int32_t level) {
    const LevelRadius r = level_radius(level, settings, 1.0);
    std::vector<unsigned char> storage(polygon_kernel_size(r.q, r.ex, settings.border_brightness));
    TestHost host;
    IrisKernel kernel;
    EXPECT_EQ(build_polygon_kernel(storage.data(), settings.facets, &host, r.ex, settings.rounded,
                                   settings.angle, settings.border_thickness,
                                   settings.border_brightness, r.q, kernel),
              host.noError());
    DenseLevel d;
    d.dense = expand_kernel(kernel);
    d.left = kIrisRowEnd;
    d.top = kIrisRowEnd;
    d.right = -kIrisRowEnd;
    d.bottom = -kIrisRowEnd;
    for (int32_t y = d.dense.top; y <= d.dense.bottom; ++y)
        for (int32_t x = d.dense.left; x <= d.dense.right; ++x) {
            const double w = d.dense.at(x, y);
            if (w == 0.0) continue;
            d.sum += w;
            d.left = std::min(d.left, x);
            d.right = std::max(d.right, x);
            d.top = std::min(d.top, y);
            d.bottom = std::max(d.bottom, y);
        }
    return d;
}

struct Colour {
    double a = 0, r = 0, g = 0, b = 0;
};

template <class P>
Colour premultiplied_at(const PixelArray<P>& image, int32_t x, int32_t y) {
    const ChannelValues v = read_rgba(image.at(x, y));
    const double f = v.a / P::max;
    return {v.a, v.r * f, v.g * f, v.b * f};
}

// A colourful straight-alpha test image.
template <class P>
void fill_pattern(PaddedImage<P>& image, bool vary_alpha) {
    for (int32_t y = 0; y < image.height(); ++y)
        for (int32_t x = 0; x < image.width(); ++x) {
            const double u = ((x * 37 + y * 11) % 23) / 22.0;
            const double v = ((x * 5 + y * 29) % 17) / 16.0;
            const double a = vary_alpha ? 0.4 + 0.6 * ((x + 2 * y) % 7) / 6.0 : 1.0;
            if constexpr (P::is_float)
                write_rgba(image.at(x, y), ChannelValues{a, u, v, 1.0 - u});
            else
                write_rgba(image.at(x, y),
                           ChannelValues{std::floor(a * P::max), std::floor(u * P::max),
                                         std::floor(v * P::max), std::floor((1.0 - u) * P::max)});
        }
}

template <class P>
double channel(const P& p, int c) {
    const ChannelValues v = read_rgba(p);
    return c == 0 ? v.a : c == 1 ? v.r : c == 2 ? v.g : v.b;
}

// ---- uniform depth: a convolution ------------------------------------------------------------

template <class P>
void expect_uniform_depth_is_convolution(OutsideMode mode, int32_t W = 23, int32_t H = 17) {
    PaddedImage<P> source(W, H);
    fill_pattern(source, false);
    const int32_t level = 200;
    LevelImage depth(W, H, level);
    ZblurSettings s = blur_settings(12.0, 100.0);
    s.assume_h = int32_t(mode);
    s.assume_v = int32_t(mode);
    s.outside_red = 0.2f;
    s.outside_green = 0.4f;
    s.outside_blue = 0.6f;
    s.outside_alpha = 1.0f;
    TestHost host(2);
    BlurRun<P> run = run_blur(host, source, depth, s);
    ASSERT_EQ(run.status, host.noError());
    EXPECT_TRUE(run.output.spareBytesUntouched());

    const DenseLevel k = dense_level(s, level);
    const PixelArray<P> src = source.array(false);
    double worst = 0.0;
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) {
            Colour ref;
            for (int32_t ky = k.top; ky <= k.bottom; ++ky)
                for (int32_t kx = k.left; kx <= k.right; ++kx) {
                    const double w = k.dense.at(kx, ky) / k.sum;
                    if (w == 0.0) continue;
                    int32_t sx = x - kx, sy = y - ky;
                    const bool in_x = map_to_image(mode, W, sx);
                    const bool in_y = map_to_image(mode, H, sy);
                    Colour c;
                    if (in_x && in_y) {
                        c = premultiplied_at(src, sx, sy);
                    } else {
                        c = {s.outside_alpha * P::max, s.outside_red * P::max,
                             s.outside_green * P::max, s.outside_blue * P::max};
                    }
                    ref.a += w * c.a;
                    ref.r += w * c.r;
                    ref.g += w * c.g;
                    ref.b += w * c.b;
                }
            // Straight output of an opaque result.
            const double f = ref.a > 0.0 ? P::max / ref.a : 0.0;
            const double expected[4] = {ref.a, ref.r * f, ref.g * f, ref.b * f};
            for (int c = 0; c < 4; ++c) {
                const double got = channel(run.output.at(x, y), c);
                worst = std::max(worst, std::fabs(got - expected[c]));
                ASSERT_NEAR(got, expected[c], channel_tolerance<P>())
                    << "pixel " << x << "," << y << " channel " << c << " mode " << int(mode);
            }
        }
    ::testing::Test::RecordProperty("worst", std::to_string(worst));
}

template <class P>
using ZblurFilterUniformDepth = ZblurPixelTest<P>;
TYPED_TEST_SUITE(ZblurFilterUniformDepth, ZblurPixelTypes);

TYPED_TEST(ZblurFilterUniformDepth, IsTheLevelKernelConvolution) {
    for (const OutsideMode m : {OutsideMode::border_color, OutsideMode::mirrored_image,
                                OutsideMode::repeated_image, OutsideMode::color})
        expect_uniform_depth_is_convolution<TypeParam>(m);
}
// Rows far wider than the longest run of one level the sweep keeps (255 sources), with the
// frame split into tiles as the 2-thread host's grid has it.
TEST(ZblurFilterUniformDepth, IsTheLevelKernelConvolutionOnWideRows) {
    expect_uniform_depth_is_convolution<PixelRGBA16>(OutsideMode::mirrored_image, 600, 9);
    expect_uniform_depth_is_convolution<PixelRGBAFloat>(OutsideMode::color, 530, 7);
}

// ---- a dense reference of the composition ----------------------------------------------------

// Levels of a small scene: blocks at a few depths with a diagonal step.
int32_t scene_level(int32_t x, int32_t y) {
    static const int32_t kLevels[5] = {20, 90, 128, 170, 240};
    if (x + y < 18) return kLevels[4];
    if (x > 26 && y > 8 && y < 22) return kLevels[3];
    if (x < 12) return kLevels[0];
    return kLevels[((x / 7) + (y / 9)) % 3 + 1];
}

// Steps 6 and 7 written out over dense per-level images of the whole padded frame (one tile,
// margins from the largest radius), for output of pixel type P, in P's own scale (channel
// maximum Max: 255, 32768 or 1): composite, coverage, background deposits and estimates, fill,
// and with `highlights` the highlight blend, the selection weights read from `selection`
// placed by its origin (the selection weight of each pixel from the HSL range selection, which
// has tests of its own). With `gamma` the colours are made linear with the BT.709 formula
// before they are spread and encoded after the fill. Integer pixels clamp the composite and
// the estimate to 0 .. Max in every channel, float pixels only their alphas. Returns the output
// before it is stored: straight colour (made straight with the unrounded alpha), alpha not yet
// rounded.
template <class P>
std::vector<Colour> dense_composition(const ZblurSettings& s, const PixelArray<P>& src,
                                      const PixelArray<P>& selection, const LevelImage& depth,
                                      std::vector<double>* coverage_out, bool highlights = false) {
    constexpr double Max = P::max;
    const int32_t W = src.width, H = src.height;
    const LevelRadii radii = level_radii(s, 1.0);
    double max_ex = 0, max_ry = 0;
    for (const LevelRadius& r : radii) {
        max_ex = std::max(max_ex, r.ex);
        max_ry = std::max(max_ry, r.ry);
    }
    const int32_t mx = int32_t(std::ceil(max_ex)), my = int32_t(std::ceil(max_ry));
    const int32_t wp = W + 2 * mx, hp = H + 2 * my;
    const OutsideMode mh = OutsideMode(s.assume_h), mv = OutsideMode(s.assume_v);
    const auto linear = [&](double v) {
        return s.gamma ? bt709_reference::to_linear(v / Max) * Max : v;
    };

    std::vector<int32_t> lev(size_t(wp) * hp);
    std::vector<Colour> col(size_t(wp) * hp);
    std::vector<double> sel(size_t(wp) * hp, 0.0);
    const PreparedSelection prepared = prepare_selection(s.selection);
    std::map<int32_t, DenseLevel> kernels;
    for (int32_t j = 0; j < hp; ++j)
        for (int32_t i = 0; i < wp; ++i) {
            int32_t x = i - mx, y = j - my;
            const bool inx = map_to_image(mh, W, x), iny = map_to_image(mv, H, y);
            const int32_t l = (x >= 0 && x < W && y >= 0 && y < H) ? depth.level(x, y) : 0;
            lev[size_t(j) * wp + i] = l;
            Colour c = inx && iny ? premultiplied_at(src, x, y)
                                  : Colour{s.outside_alpha * Max, s.outside_red * Max,
                                           s.outside_green * Max, s.outside_blue * Max};
            col[size_t(j) * wp + i] = {c.a, linear(c.r), linear(c.g), linear(c.b)};
            const int32_t qx = x + src.origin_x - selection.origin_x;
            const int32_t qy = y + src.origin_y - selection.origin_y;
            if (highlights && inx && iny && selection.contains(qx, qy)) {
                P p = selection.at(qx, qy);
                if (!selection.premultiplied) premultiply_in_place(p);
                sel[size_t(j) * wp + i] = std::clamp(selection_weight(prepared, p), 0.0, 1.0);
            }
            if (!kernels.count(l)) kernels[l] = dense_level(s, l);
        }
    auto at = [&](int32_t i, int32_t j) { return size_t(j) * wp + size_t(i); };

    // Per-level weight and colour sums at every padded pixel.
    struct Sum {
        double w = 0, a = 0, r = 0, g = 0, b = 0;
        double ha = 0, hr = 0, hg = 0, hb = 0, hs = 0, hu = 0;  // highlight sums
    };
    std::map<int32_t, std::vector<Sum>> sums;
    for (auto& [l, k] : kernels) sums[l].assign(size_t(wp) * hp, Sum{});
    for (int32_t j = 0; j < hp; ++j)
        for (int32_t i = 0; i < wp; ++i) {
            const int32_t l = lev[at(i, j)];
            const DenseLevel& k = kernels[l];
            const Colour& c = col[at(i, j)];
            const double q = sel[at(i, j)];
            std::vector<Sum>& S = sums[l];
            for (int32_t ky = k.top; ky <= k.bottom; ++ky)
                for (int32_t kx = k.left; kx <= k.right; ++kx) {
                    const int32_t pi = i + kx, pj = j + ky;
                    if (pi < 0 || pj < 0 || pi >= wp || pj >= hp) continue;
                    const double w = k.dense.at(kx, ky) / k.sum;
                    if (w == 0.0) continue;
                    Sum& t = S[at(pi, pj)];
                    t.w += w;
                    t.a += w * c.a;
                    t.r += w * c.r;
                    t.g += w * c.g;
                    t.b += w * c.b;
                    if (q > 0.0) {
                        const double h = w * q * s.highlight;
                        t.ha += h * c.a;
                        t.hr += h * c.r;
                        t.hg += h * c.g;
                        t.hb += h * c.b;
                        t.hs += h;
                        t.hu += k.dense.at(kx, ky);  // the weight without normalisation
                    }
                }
        }

    // Composition and deposits.
    std::vector<Colour> comp(size_t(wp) * hp);
    std::vector<double> cover(size_t(wp) * hp);
    std::vector<double> keep(size_t(wp) * hp, 1.0);
    std::vector<Colour> avg(size_t(wp) * hp);
    std::vector<bool> deposits(size_t(wp) * hp, false);
    for (int32_t j = 0; j < hp; ++j)
        for (int32_t i = 0; i < wp; ++i) {
            const int32_t own = lev[at(i, j)];
            const DenseLevel& ok = kernels[own];
            int32_t floor = own;
            for (int32_t y = std::max(0, j + ok.top); y <= std::min(hp - 1, j + ok.bottom); ++y)
                for (int32_t x = std::max(0, i + ok.left); x <= std::min(wp - 1, i + ok.right); ++x)
                    floor = std::min(floor, lev[at(x, y)]);
            double g = 0;
            Colour c, d, h;
            double dw = 0, hs = 0, hu = 0;
            for (auto it = sums.rbegin(); it != sums.rend(); ++it) {
                const int32_t l = it->first;
                if (l < floor) continue;
                const Sum& t = it->second[at(i, j)];
                if (!(t.w > 0)) continue;
                if (g < 1) {
                    const double part = g + t.w < 1 ? 1.0 : (1 - g) / t.w;
                    c.a += t.a * part;
                    c.r += t.r * part;
                    c.g += t.g * part;
                    c.b += t.b * part;
                    h.a += t.ha * part;
                    h.r += t.hr * part;
                    h.g += t.hg * part;
                    h.b += t.hb * part;
                    hs += t.hs * part;
                    hu += t.hu * part;
                }
                g += t.w;
                if (l <= own) {
                    d.a += t.a;
                    d.r += t.r;
                    d.g += t.g;
                    d.b += t.b;
                    dw += t.w;
                }
            }
            c.a = std::clamp(c.a, 0.0, Max);
            if constexpr (!P::is_float) {
                c.r = std::clamp(c.r, 0.0, Max);
                c.g = std::clamp(c.g, 0.0, Max);
                c.b = std::clamp(c.b, 0.0, Max);
            }
            if (hs > 1e-4) {
                const double k = 1.0 - std::min(hu, 1.0) * std::min(hs / std::min(g, 1.0), 1.0);
                c = {h.a / hs + (c.a - h.a / hs) * k, h.r / hs + (c.r - h.r / hs) * k,
                     h.g / hs + (c.g - h.g / hs) * k, h.b / hs + (c.b - h.b / hs) * k};
                keep[at(i, j)] = k;
            }
            comp[at(i, j)] = c;
            cover[at(i, j)] = g;
            if (dw > 0) {
                avg[at(i, j)] = {d.a / dw, d.r / dw, d.g / dw, d.b / dw};
                deposits[at(i, j)] = true;
            }
        }

    // Background estimates: each source's kernel-weighted sum of the deposits at its level.
    std::vector<Colour> result(size_t(W) * H);
    if (coverage_out) coverage_out->assign(size_t(W) * H, 0.0);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) {
            const int32_t i = x + mx, j = y + my;
            const int32_t own = lev[at(i, j)];
            const DenseLevel& k = kernels[own];
            double ea = 0, er = 0, eg = 0, eb = 0, ew = 0;
            for (int32_t ky = k.top; ky <= k.bottom; ++ky)
                for (int32_t kx = k.left; kx <= k.right; ++kx) {
                    const double w = k.dense.at(kx, ky);
                    const size_t p = at(i + kx, j + ky);
                    if (w == 0.0 || !deposits[p] || lev[p] > own) continue;
                    const double weight = double(own - lev[p] + 1) * w;
                    ea += weight * avg[p].a;
                    er += weight * avg[p].r;
                    eg += weight * avg[p].g;
                    eb += weight * avg[p].b;
                    ew += weight;
                }
            Colour e;
            if (ew > 1e-4)
                e = {std::max(0.0, ea / ew), std::max(0.0, er / ew), std::max(0.0, eg / ew),
                     std::max(0.0, eb / ew)};
            e.a = std::min(e.a, Max);
            if constexpr (!P::is_float) {
                e.r = std::min(e.r, Max);
                e.g = std::min(e.g, Max);
                e.b = std::min(e.b, Max);
            }
            Colour out = comp[at(i, j)];
            const double miss = cover[at(i, j)] - 1.0;
            if (coverage_out) (*coverage_out)[size_t(y) * W + x] = miss;
            if (miss < 0) {
                const double fill = -miss * std::min(keep[at(i, j)], 1.0);
                out.a += e.a * fill;
                out.r += e.r * fill;
                out.g += e.g * fill;
                out.b += e.b * fill;
            }
            if (s.gamma) {
                const auto encoded = [&](double v) {
                    if constexpr (!P::is_float) v = std::clamp(v, 0.0, Max);
                    return bt709_reference::to_encoded(v / Max) * Max;
                };
                out.r = encoded(out.r);
                out.g = encoded(out.g);
                out.b = encoded(out.b);
            }
            if (out.a > 0) {
                out.r *= Max / out.a;
                out.g *= Max / out.a;
                out.b *= Max / out.a;
            }
            result[size_t(y) * W + x] = out;
        }
    return result;
}

// How far a stored channel may lie from the reference's value v before it is stored: within
// [v - below, v + above]. Float pixels store v; integer alpha is rounded (v + 0.5 truncated),
// so it lies within half a unit; integer colour is truncated, so up to one unit below.
struct Allowance {
    double alpha_below, alpha_above, colour_below, colour_above;
};

template <class P>
Allowance stored_allowance(double slack) {
    if constexpr (P::is_float)
        return {slack, slack, slack, slack};
    else
        return {0.5 + slack, 0.5 + slack, 1.0 + slack, slack};
}

struct CompositionCase {
    bool highlights = false;
    int32_t threads = 1;
    // A selection layer of its own (not the source), smaller than the frame and placed at an
    // offset from it, so that part of the frame has no selection pixel.
    bool selection_layer = false;
    bool gamma = false;
};

// A selection image unlike the source: bright where the source is dark and the other way
// round, some pixels transparent (no weight once premultiplied, however bright their colour).
template <class P>
void fill_selection(PaddedImage<P>& image) {
    for (int32_t y = 0; y < image.height(); ++y)
        for (int32_t x = 0; x < image.width(); ++x) {
            const double u = ((x * 13 + y * 7) % 19) / 18.0;
            const double a = (x + y) % 9 == 4 ? 0.0 : 1.0;
            write_rgba(image.at(x, y), ChannelValues{std::floor(a * P::max), std::floor(u * P::max),
                                                     std::floor((0.3 + 0.7 * u) * P::max),
                                                     std::floor(0.8 * P::max)});
        }
}

template <class P, class LevelOf>
void expect_composition_matches_the_dense_reference(LevelOf level_of, int32_t min_filled,
                                                    const CompositionCase& k, Allowance allowed) {
    const int32_t W = 40, H = 30;
    PaddedImage<P> source(W, H);
    fill_pattern(source, true);
    PaddedImage<P> selection_image(29, 21);
    fill_selection(selection_image);
    PixelArray<P> selection = source.array(false);
    if (k.selection_layer) {
        selection = selection_image.array(false);
        selection.origin_x = 7;
        selection.origin_y = -4;
    }
    LevelImage depth(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) depth.set(x, y, level_of(x, y));
    for (const int32_t mode : {1, 2, 4}) {
        ZblurSettings s = blur_settings(12.0, 128.0);  // radii 1 .. 6
        s.gamma = k.gamma;
        s.assume_h = mode;
        s.assume_v = mode == 4 ? 1 : mode;
        s.outside_red = 0.9f;
        s.outside_green = 0.1f;
        s.outside_blue = 0.3f;
        s.outside_alpha = 0.8f;
        if (k.highlights) {
            // Bright, fairly saturated pixels: a good part of the pattern, not all of it.
            s.selection = highlight_selection(0.45, 0.3);
            s.highlight = 2.5;
        }
        TestHost host(k.threads);
        auto render = [&](const ZblurSettings& settings) {
            BlurRun<P> run{PaddedImage<P>(W, H)};
            run.output.fillPixels(0x3C);
            ZblurFilter<P, PixelGrayFloat> filter(&host, source.array(false),
                                                  run.output.array(false), selection, depth.array(),
                                                  PixelArray<P>(), settings);
            run.status = filter.render();
            run.tiles = filter.tile_count();
            return run;
        };
        BlurRun<P> run = render(s);
        ASSERT_EQ(run.status, host.noError());
        if (k.threads > 1) {
            EXPECT_GT(run.tiles, 1);
        }
        std::vector<double> miss;
        const std::vector<Colour> ref =
            dense_composition(s, source.array(false), selection, depth, &miss, k.highlights);
        int32_t filled = 0;
        double worst = 0.0;
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x) {
                const Colour& e = ref[size_t(y) * W + x];
                const double expected[4] = {e.a, e.r, e.g, e.b};
                if (miss[size_t(y) * W + x] < -1e-3) ++filled;
                // On several tiles a background estimate collects only the deposits made in
                // its own tile's padded area, which the single-tile reference does not model.
                if (k.threads > 1 && miss[size_t(y) * W + x] < 0.0) continue;
                for (int c = 0; c < 4; ++c) {
                    const double got = channel(run.output.at(x, y), c);
                    const double v =
                        P::is_float ? expected[c] : std::clamp(expected[c], 0.0, double(P::max));
                    const double below = c == 0 ? allowed.alpha_below : allowed.colour_below;
                    const double above = c == 0 ? allowed.alpha_above : allowed.colour_above;
                    worst = std::max(worst, std::fabs(got - v));
                    ASSERT_TRUE(got >= v - below && got <= v + above)
                        << "pixel " << x << "," << y << " channel " << c << " mode " << mode << ": "
                        << got << ", reference " << v;
                }
            }
        // The scene must exercise the background fill, not only full coverage.
        EXPECT_GT(filled, min_filled) << "mode " << mode;
        ::testing::Test::RecordProperty("worst_mode_" + std::to_string(mode),
                                        std::to_string(worst));
        if (k.highlights) {
            // The selection must matter: the blend moves a good share of the frame.
            ZblurSettings plain = s;
            plain.highlight = 0.0;
            BlurRun<P> without = render(plain);
            ASSERT_EQ(without.status, host.noError());
            int32_t moved = 0;
            for (int32_t y = 0; y < H; ++y)
                for (int32_t x = 0; x < W; ++x)
                    moved += std::fabs(red_of(without.output.at(x, y)) -
                                       red_of(run.output.at(x, y))) > 1e-2 * P::max;
            EXPECT_GT(moved, W * H / 10) << "mode " << mode;
        }
        if (k.highlights) continue;  // the density display has no highlights
        if constexpr (P::is_float) {
            ZblurSettings info = s;
            info.show = kZblurShowInfoDensity;
            BlurRun<P> density = render(info);
            ASSERT_EQ(density.status, host.noError());
            for (int32_t y = 0; y < H; ++y)
                for (int32_t x = 0; x < W; ++x) {
                    const double m = miss[size_t(y) * W + x];
                    const P& p = density.output.at(x, y);
                    EXPECT_NEAR(red_of(p), m < 0 ? -m : 0.0, 1e-4) << x << "," << y;
                    EXPECT_NEAR(green_of(p), m >= 0 ? std::min(m, 1.0) : 0.0, 1e-4)
                        << x << "," << y;
                    EXPECT_EQ(alpha_of(p), 1.0f);
                    EXPECT_EQ(blue_of(p), 0.0f);
                }
        }
    }
}

int32_t level_per_pixel(int32_t x, int32_t y) { return (x * 97 + y * 61 + (x * y) % 13) % 256; }

TEST(ZblurFilterComposition, MatchesADenseReferenceOfTheComposition) {
    expect_composition_matches_the_dense_reference<PixelRGBAFloat>(
        scene_level, 20, {}, stored_allowance<PixelRGBAFloat>(2e-4));
}

// A level of its own at almost every pixel, from all over the range: every source is a run of
// one, nearly all 256 levels meet in the rows, and near and far sources interleave.
TEST(ZblurFilterComposition, MatchesTheDenseReferenceWithALevelPerPixel) {
    expect_composition_matches_the_dense_reference<PixelRGBAFloat>(
        level_per_pixel, 20, {}, stored_allowance<PixelRGBAFloat>(2e-4));
}

// The highlight sums (colour and weight times the selection, the weight without the ring) and
// the blend towards the highlights' colour, on one tile and on a grid of tiles.
TEST(ZblurFilterComposition, HighlightsMatchTheDenseReference) {
    const Allowance allowed = stored_allowance<PixelRGBAFloat>(2e-4);
    expect_composition_matches_the_dense_reference<PixelRGBAFloat>(scene_level, 20,
                                                                   {.highlights = true}, allowed);
    expect_composition_matches_the_dense_reference<PixelRGBAFloat>(
        level_per_pixel, 20, {.highlights = true, .threads = 3}, allowed);
}

// Integer output: the composite and the estimate clamped to the channel range, alpha rounded
// and colour truncated where they are stored, partial alpha, background fill and highlights
// picked from a selection layer of its own placed at an offset. Within half a unit for alpha
// and one unit for colour, a dropped rounding or a shifted selection shows.
TEST(ZblurFilterComposition, IntegerOutputMatchesTheDenseReferenceToOneUnit) {
    const CompositionCase k{.highlights = true, .selection_layer = true};
    expect_composition_matches_the_dense_reference<PixelRGBA8>(scene_level, 20, k,
                                                               stored_allowance<PixelRGBA8>(0.05));
    expect_composition_matches_the_dense_reference<PixelRGBA16>(
        scene_level, 20, k, stored_allowance<PixelRGBA16>(0.05));
}

template <class P>
using ZblurLinearLight = ZblurPixelTest<P>;
TYPED_TEST_SUITE(ZblurLinearLight, ZblurPixelTypes);

// With gamma correction the colours are spread and composited in linear light: decoded with
// the BT.709 formula before, encoded after (integer depths through 32768-step tables, whose
// steps the allowance covers: 0.1 of 255 at 8 bits, 12 of 32768 at 16 bits).
TYPED_TEST(ZblurLinearLight, BlurIsTheCompositionInLinearLight) {
    using P = TypeParam;
    Allowance allowed = stored_allowance<P>(P::is_float ? 2e-4 : 0.05);
    if constexpr (!P::is_float) {
        const double table_steps = P::max_value == 255 ? 0.1 : 12.0;
        allowed.colour_below += table_steps;
        allowed.colour_above += table_steps;
    }
    expect_composition_matches_the_dense_reference<P>(scene_level, 20, {.gamma = true}, allowed);
}

// ---- tiling does not show ----------------------------------------------------------------------

template <class P>
void expect_tiles_do_not_show() {
    const int32_t W = 61, H = 47;
    PaddedImage<P> source(W, H);
    fill_pattern(source, true);
    PaddedImage<PixelRGBAFloat> float_source(W, H);
    fill_pattern(float_source, true);
    LevelImage depth(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) depth.set(x, y, scene_level(x % 40, y % 30));
    ZblurSettings s = blur_settings(16.0, 128.0);
    s.gamma = true;
    s.assume_h = 2;
    s.assume_v = 3;

    // Where the composite covers a pixel fully (from the float density display).
    ZblurSettings info = s;
    info.show = kZblurShowInfoDensity;
    TestHost one(1);
    BlurRun<PixelRGBAFloat> density = run_blur(one, float_source, depth, info);
    ASSERT_EQ(density.status, one.noError());

    BlurRun<P> reference = run_blur(one, source, depth, s);
    ASSERT_EQ(reference.status, one.noError());
    ASSERT_EQ(reference.tiles, 1);
    for (const int32_t threads : {2, 3, 8}) {
        TestHost many(threads);
        BlurRun<P> run = run_blur(many, source, depth, s);
        ASSERT_EQ(run.status, many.noError());
        EXPECT_GT(run.tiles, 1);
        int32_t complete = 0, filled_differences = 0;
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x) {
                const bool covered = red_of(density.output.at(x, y)) == 0.0f;
                bool same = true;
                for (int c = 0; c < 4; ++c)
                    same = same &&
                           channel(run.output.at(x, y), c) == channel(reference.output.at(x, y), c);
                if (covered) {
                    ++complete;
                    ASSERT_TRUE(same) << threads << " threads, covered pixel " << x << "," << y;
                } else if (!same) {
                    // Only the background estimate of a pixel that lacks coverage may differ:
                    // it collects deposits made near the tile's edge.
                    ++filled_differences;
                }
            }
        EXPECT_GT(complete, W * H / 4);
        ::testing::Test::RecordProperty("filled_differences_" + std::to_string(threads),
                                        std::to_string(filled_differences));
    }
}

template <class P>
using ZblurFilterTiles = ZblurPixelTest<P>;
TYPED_TEST_SUITE(ZblurFilterTiles, ZblurPixelTypes);

TYPED_TEST(ZblurFilterTiles, DoNotShowWhereCoverageIsComplete) {
    expect_tiles_do_not_show<TypeParam>();
}

TEST(ZblurFilterTiles, RefinedTilesWhenBuffersDoNotFit) {
    const int32_t W = 50, H = 36;
    PaddedImage<PixelRGBA16> source(W, H);
    fill_pattern(source, false);
    LevelImage depth(W, H, 250);
    ZblurSettings s = blur_settings(10.0, 200.0);
    TestHost host(1);
    BlurRun<PixelRGBA16> whole = run_blur(host, source, depth, s);
    ASSERT_EQ(whole.status, host.noError());
    // Room for about half the padded frame: the grid is refined until a tile fits.
    double ex = 0, ry = 0;
    for (const LevelRadius& r : level_radii(s, 1.0)) {
        ex = std::max(ex, r.ex);
        ry = std::max(ry, r.ry);
    }
    const size_t padded = size_t(W + 2 * std::ceil(ex)) * size_t(H + 2 * std::ceil(ry));
    BlurRun<PixelRGBA16> refined = run_blur(host, source, depth, s, padded * 85 / 2);
    ASSERT_EQ(refined.status, host.noError());
    EXPECT_GT(refined.tiles, 1);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(channel(refined.output.at(x, y), c), channel(whole.output.at(x, y), c));
    EXPECT_EQ(host.liveBlocks(), 0u);
    // A limit no tile can meet: out of memory, nothing kept.
    BlurRun<PixelRGBA16> none = run_blur(host, source, depth, s, 1000);
    EXPECT_EQ(none.status, host.outOfMemoryError());
    EXPECT_EQ(host.liveBlocks(), 0u);
}

// ---- occlusion -----------------------------------------------------------------------------------

// Left part near (level 255, red), right part far (level 0, blue with stripes).
struct TwoPlanes {
    PaddedImage<PixelRGBAFloat> source{48, 24};
    LevelImage depth{48, 24};
    static constexpr int32_t kEdge = 20;
    TwoPlanes() {
        for (int32_t y = 0; y < 24; ++y)
            for (int32_t x = 0; x < 48; ++x) {
                const bool near = x < kEdge;
                depth.set(x, y, near ? 255 : 0);
                const double stripe = (x % 4 < 2) ? 1.0 : 0.5;
                write_rgba(source.at(x, y),
                           near ? ChannelValues{1, 1, 0, 0} : ChannelValues{1, 0, 0, stripe});
            }
    }
};

TEST(ZblurFilterOcclusion, SharpNearObjectKeepsItsEdgeOverABlurredFarPlane) {
    TwoPlanes scene;
    ZblurSettings s = blur_settings(20.0, 255.0);  // near sharp, far radius 21
    s.facets = 8;
    TestHost host(1);
    BlurRun<PixelRGBAFloat> run = run_blur(host, scene.source, scene.depth, s);
    ASSERT_EQ(run.status, host.noError());
    for (int32_t y = 0; y < 24; ++y) {
        // Up to the last near column the near object stays pure red: the far blur is hidden.
        for (int32_t x = 0; x < TwoPlanes::kEdge - 1; ++x) {
            const PixelRGBAFloat& p = run.output.at(x, y);
            ASSERT_NEAR(red_of(p), 1.0, 1e-3) << x << "," << y;
            ASSERT_NEAR(blue_of(p), 0.0, 1e-3) << x << "," << y;
        }
        // The far plane is blurred: the stripes are smoothed out away from the edge.
        const PixelRGBAFloat& far = run.output.at(40, y);
        EXPECT_NEAR(blue_of(far), 0.75, 0.1);
        EXPECT_LT(red_of(far), 0.05);
    }
}

TEST(ZblurFilterOcclusion, BlurredNearObjectSpreadsOverASharpFarPlane) {
    TwoPlanes scene;
    ZblurSettings s = blur_settings(20.0, 0.0);  // far sharp, near radius 21
    s.facets = 8;
    TestHost host(1);
    BlurRun<PixelRGBAFloat> run = run_blur(host, scene.source, scene.depth, s);
    ASSERT_EQ(run.status, host.noError());
    const int32_t y = 12;
    // Just right of the edge the red of the near object lies over the far plane, less and
    // less with distance; far away the far plane is sharp: its stripes stay.
    const double r1 = red_of(run.output.at(TwoPlanes::kEdge + 1, y));
    const double r8 = red_of(run.output.at(TwoPlanes::kEdge + 8, y));
    EXPECT_GT(r1, 0.2);
    EXPECT_GT(r1, r8);
    EXPECT_GT(r8, 0.01);
    EXPECT_NEAR(blue_of(run.output.at(44, y)), 1.0, 0.02);
    EXPECT_NEAR(blue_of(run.output.at(45, y)), 1.0, 0.02);
    EXPECT_NEAR(blue_of(run.output.at(46, y)), 0.5, 0.02);
}

// ---- highlights ----------------------------------------------------------------------------------

TEST(ZblurFilterHighlights, BrightSelectedDotBecomesABrighterIrisDisc) {
    const int32_t W = 41, H = 41, c = 20;
    PaddedImage<PixelRGBA16> source(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            write_rgba(source.at(x, y), ChannelValues{32768, 3000, 3000, 3000});
    write_rgba(source.at(c, c), ChannelValues{32768, 32768, 32768, 32768});
    LevelImage depth(W, H, 0);
    ZblurSettings s = blur_settings(9.0, 255.0);  // level 0: a pentagon of radius 10
    s.facets = 5;
    s.rounded = 0.0;
    s.selection = highlight_selection(200.0 / 255.0, 0.0);
    TestHost host(1);

    auto brightness = [&](double intensity, int32_t x, int32_t y) {
        ZblurSettings t = s;
        t.highlight = intensity;
        BlurRun<PixelRGBA16> run = run_blur(host, source, depth, t);
        EXPECT_EQ(run.status, host.noError());
        return double(red_of(run.output.at(x, y)));
    };
    const double plain = brightness(0.0, c, c);
    const double once = brightness(1.0, c, c);
    const double more = brightness(4.0, c, c);
    EXPECT_GT(once, plain + 100);
    EXPECT_GT(more, once + 100);
    // The disc: inside the pentagon brighter than the plain blur, outside it unchanged.
    const double inside_plain = brightness(0.0, c + 3, c);
    const double inside = brightness(4.0, c + 3, c);
    EXPECT_GT(inside, inside_plain + 100);
    EXPECT_EQ(brightness(4.0, c + 14, c), brightness(0.0, c + 14, c));
    EXPECT_EQ(brightness(4.0, c, c + 14), brightness(0.0, c, c + 14));
    // Off (enable off) is the plain render exactly.
    ZblurSettings off = s;
    off.selection.enabled = false;
    BlurRun<PixelRGBA16> a = run_blur(host, source, depth, off);
    ZblurSettings zero = s;
    zero.highlight = 0.0;
    BlurRun<PixelRGBA16> b = run_blur(host, source, depth, zero);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            ASSERT_EQ(red_of(a.output.at(x, y)), red_of(b.output.at(x, y)));
}

// ---- copies, cancellation, memory ------------------------------------------------------------------

template <class P>
using ZblurFilterCopy = ZblurPixelTest<P>;
TYPED_TEST_SUITE(ZblurFilterCopy, ZblurPixelTypes);

TYPED_TEST(ZblurFilterCopy, RadiusZeroCopiesTheSourceExactly) {
    using P = TypeParam;
    PaddedImage<P> source(13, 9);
    fill_pattern(source, true);
    LevelImage depth(13, 9, 40);
    ZblurSettings s = blur_settings(0.0, 128.0);
    s.gamma = true;
    TestHost host(2);
    BlurRun<P> run = run_blur(host, source, depth, s);
    ASSERT_EQ(run.status, host.noError());
    for (int32_t y = 0; y < 9; ++y)
        for (int32_t x = 0; x < 13; ++x)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(channel(run.output.at(x, y), c), channel(source.at(x, y), c));
    EXPECT_TRUE(run.output.spareBytesUntouched());
}

TEST(ZblurFilterFailures, CancellationReturnsTheAbortStatusWithNothingLeft) {
    const int32_t W = 64, H = 48;
    PaddedImage<PixelRGBA8> source(W, H);
    fill_pattern(source, false);
    LevelImage depth(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) depth.set(x, y, scene_level(x % 40, y % 30));
    ZblurSettings s = blur_settings(16.0, 128.0);
    for (const int32_t after : {0, 5, 300, 700}) {
        {
            TestHost host(3);
            host.abortAfter(after);
            BlurRun<PixelRGBA8> run = run_blur(host, source, depth, s);
            EXPECT_EQ(run.status, host.abortError()) << "after " << after;
            EXPECT_EQ(host.liveBlocks(), 0u);
            EXPECT_TRUE(run.output.spareBytesUntouched());
        }
        EXPECT_EQ(ThreadPool::liveWorkers(), 0);
    }
}

TEST(ZblurFilterFailures, AllocationFailureReturnsOutOfMemory) {
    PaddedImage<PixelRGBA16> source(30, 20);
    fill_pattern(source, false);
    LevelImage depth(30, 20, 10);
    ZblurSettings s = blur_settings(20.0, 200.0);
    TestHost counting(2);
    ASSERT_EQ(run_blur(counting, source, depth, s).status, counting.noError());
    const int32_t needed = counting.allocations();
    for (int32_t n = 0; n < needed; ++n) {
        TestHost host(2);
        host.failAllocationsAfter(n);
        BlurRun<PixelRGBA16> run = run_blur(host, source, depth, s);
        EXPECT_EQ(run.status, host.outOfMemoryError()) << "failing from allocation " << n;
        EXPECT_EQ(host.liveBlocks(), 0u);
    }
}

// The row sweep gives every level present in a row a slot, sized by the count of the levels
// the frame has. Were that count ever short, the tile must fail, not write past its slots:
// with fewer slots than the scene's five levels the render reports out of memory and gives
// every block back; with enough, it renders as without the cap.
TEST(ZblurFilterFailures, TooFewLevelSlotsFailInsteadOfOverrunning) {
    const int32_t W = 40, H = 30;
    PaddedImage<PixelRGBA16> source(W, H);
    fill_pattern(source, false);
    LevelImage depth(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) depth.set(x, y, scene_level(x, y));
    const ZblurSettings s = blur_settings(12.0, 128.0);
    TestHost host(2);
    BlurRun<PixelRGBA16> whole = run_blur(host, source, depth, s);
    ASSERT_EQ(whole.status, host.noError());
    EXPECT_EQ(run_blur(host, source, depth, s, 0, 2).status, host.outOfMemoryError());
    EXPECT_EQ(host.liveBlocks(), 0u);
    BlurRun<PixelRGBA16> ample = run_blur(host, source, depth, s, 0, 5);
    ASSERT_EQ(ample.status, host.noError());
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(channel(ample.output.at(x, y), c), channel(whole.output.at(x, y), c))
                    << x << "," << y;
}

// A float light above white lies beyond a lightness range that ends at white, for the blur as
// for the selection displays (which compute the same weight): boosting it in the blur would
// show a highlight that the "highlight, selection" display reports unselected. Pixels of 1.5
// on a dark ground with highlights on give the blur without highlights, bit for bit, while the
// same pixel at 0.9 is selected and boosted.
TEST(ZblurFilterHighlights, FloatLightAboveWhiteIsNotSelected) {
    const int32_t W = 24, H = 18;
    LevelImage depth(W, H, 200);
    ZblurSettings s = blur_settings(12.0, 128.0);
    s.selection = highlight_selection(0.6, 0.0);
    s.highlight = 4.0;
    ZblurSettings plain = s;
    plain.selection.enabled = false;
    const PreparedSelection prepared = prepare_selection(s.selection);
    for (const float light : {1.5f, 0.9f}) {
        PaddedImage<PixelRGBAFloat> source(W, H);
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x) {
                const float v = (x % 7 == 3 && y % 5 == 2) ? light : 0.05f;
                source.at(x, y) = PixelRGBAFloat{{1.0f, v, v, v}};
            }
        const double weight = selection_weight(prepared, source.at(3, 2));
        TestHost host(2);
        BlurRun<PixelRGBAFloat> boosted = run_blur(host, source, depth, s);
        BlurRun<PixelRGBAFloat> unboosted = run_blur(host, source, depth, plain);
        ASSERT_EQ(boosted.status, host.noError());
        ASSERT_EQ(unboosted.status, host.noError());
        bool equal = true;
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x)
                for (int c = 0; c < 4; ++c)
                    equal = equal && channel(boosted.output.at(x, y), c) ==
                                         channel(unboosted.output.at(x, y), c);
        if (light > 1.0f) {
            EXPECT_EQ(weight, 0.0);
            EXPECT_TRUE(equal) << "a light above white was boosted";
        } else {
            EXPECT_GT(weight, 0.0);
            EXPECT_FALSE(equal) << "a selected light was not boosted";
        }
    }
}

// A uniform opaque frame comes out unchanged at every radius: at 8 and 16 bits the colour is
// made straight with the alpha it was composited with, and only then is alpha rounded (dividing
// by the rounded alpha 255.5 would turn 200 into 199).
template <class P>
using ZblurFilterUniformFrame = ZblurPixelTest<P>;
using IntegerPixels = ::testing::Types<PixelRGBA8, PixelRGBA16>;
TYPED_TEST_SUITE(ZblurFilterUniformFrame, IntegerPixels);

TYPED_TEST(ZblurFilterUniformFrame, OpaqueColourIsKeptExactly) {
    using P = TypeParam;
    const double colour = P::max_value == 255 ? 200.0 : 25000.0;
    PaddedImage<P> source(21, 13);
    for (int32_t y = 0; y < 13; ++y)
        for (int32_t x = 0; x < 21; ++x)
            write_rgba(source.at(x, y), ChannelValues{P::max, colour, colour - 7, colour + 9});
    LevelImage depth(21, 13, 30);
    for (const double radius : {0.0, 5.0, 20.0}) {
        ZblurSettings s = blur_settings(radius, 100.0);
        s.assume_h = s.assume_v = 2;  // mirrored: the frame continues uniform
        TestHost host(2);
        BlurRun<P> run = run_blur(host, source, depth, s);
        ASSERT_EQ(run.status, host.noError());
        for (int32_t y = 0; y < 13; ++y)
            for (int32_t x = 0; x < 21; ++x)
                for (int c = 0; c < 4; ++c)
                    ASSERT_EQ(channel(run.output.at(x, y), c), channel(source.at(x, y), c))
                        << "radius " << radius << " at " << x << "," << y << " channel " << c;
    }
}

}  // namespace

// ---- float frames repeat bit for bit ---------------------------------------------------------

// Float sums are exact integers on a grid of the frame (64-bit, or 128-bit when a light of the
// channel limit makes the frame's range too wide for that), so a pixel's composite cannot
// depend on the thread count or the tile grid. Partial alpha, gamma, highlights and an outside
// colour; where coverage is incomplete the background estimate collects deposits made in the
// tile's padded area (see expect_tiles_do_not_show), so there only the same grid is compared.
TEST(ZblurFilterFloat, FramesRepeatBitForBitOnAnyThreadCountAndGrid) {
    const int32_t W = 67, H = 45;
    for (const bool wide : {false, true}) {
        PaddedImage<PixelRGBAFloat> source(W, H);
        fill_pattern(source, true);
        // Highlights above white; with `wide` a light at the channel limit.
        red_of(source.at(30, 20)) = 6.0f;
        green_of(source.at(50, 10)) = wide ? 1048576.0f : 3.5f;
        LevelImage depth(W, H);
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x) depth.set(x, y, scene_level(x % 40, y % 30));
        ZblurSettings s = blur_settings(16.0, 128.0);
        s.gamma = true;
        s.assume_h = 4;
        s.assume_v = 2;
        s.outside_red = 0.3f;
        s.outside_alpha = 0.5f;
        s.highlight = 2.0;
        s.selection = highlight_selection(0.5, 0.3);

        ZblurSettings info = s;
        info.show = kZblurShowInfoDensity;
        TestHost one(1);
        BlurRun<PixelRGBAFloat> density = run_blur(one, source, depth, info);
        BlurRun<PixelRGBAFloat> reference = run_blur(one, source, depth, s);
        ASSERT_EQ(reference.status, one.noError());
        ASSERT_EQ(reference.tiles, 1);
        for (const int32_t threads : {1, 2, 7}) {
            TestHost host(threads);
            // Room for every worker's buffers of about half the padded frame (margins of 9).
            const size_t refined_limit = size_t(threads) * size_t(W + 18) * size_t(H + 18) * 85 / 2;
            for (const size_t limit : {size_t(0), refined_limit}) {
                BlurRun<PixelRGBAFloat> run = run_blur(host, source, depth, s, limit);
                ASSERT_EQ(run.status, host.noError());
                BlurRun<PixelRGBAFloat> again = run_blur(host, source, depth, s, limit);
                int32_t covered = 0;
                for (int32_t y = 0; y < H; ++y)
                    for (int32_t x = 0; x < W; ++x) {
                        const bool complete = red_of(density.output.at(x, y)) == 0.0f;
                        covered += complete ? 1 : 0;
                        ASSERT_EQ(std::memcmp(&run.output.at(x, y), &again.output.at(x, y),
                                              sizeof(PixelRGBAFloat)),
                                  0)
                            << "same grid, pixel " << x << "," << y;
                        if (complete || run.tiles == 1) {
                            ASSERT_EQ(std::memcmp(&run.output.at(x, y), &reference.output.at(x, y),
                                                  sizeof(PixelRGBAFloat)),
                                      0)
                                << (wide ? "wide" : "64-bit") << " sums, " << threads
                                << " threads, " << run.tiles << " tiles, pixel " << x << "," << y;
                        }
                    }
                EXPECT_GT(covered, W * H / 4);
                if (limit != 0) {
                    EXPECT_GT(run.tiles, threads);
                }
            }
        }
    }
}

// The two float sum paths agree to well within the float tolerance: the wide path keeps every
// record's colour to single precision, so it serves as the reference of the frame grid's
// rounding on a frame whose range (here up to 6) the 64-bit grid can hold.
TEST(ZblurFilterFloat, FrameGridAgreesWithPerRecordPrecision) {
    const int32_t W = 40, H = 30;
    PaddedImage<PixelRGBAFloat> narrow_source(W, H), wide_source(W, H);
    fill_pattern(narrow_source, true);
    fill_pattern(wide_source, true);
    red_of(narrow_source.at(10, 10)) = 6.0f;
    red_of(wide_source.at(10, 10)) = 6.0f;
    // A light that forces the wide path, in a corner far from the compared pixels (its kernel
    // reaches 7 pixels at most).
    green_of(wide_source.at(W - 1, H - 1)) = 1048576.0f;
    LevelImage depth(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) depth.set(x, y, scene_level(x, y));
    ZblurSettings s = blur_settings(12.0, 128.0);
    TestHost host(1);
    BlurRun<PixelRGBAFloat> narrow = run_blur(host, narrow_source, depth, s);
    BlurRun<PixelRGBAFloat> wide = run_blur(host, wide_source, depth, s);
    ASSERT_EQ(narrow.status, host.noError());
    ASSERT_EQ(wide.status, host.noError());
    int32_t different = 0;
    for (int32_t y = 0; y < H - 16; ++y)
        for (int32_t x = 0; x < W - 16; ++x)
            for (int c = 0; c < 4; ++c) {
                const double a = channel(narrow.output.at(x, y), c);
                const double b = channel(wide.output.at(x, y), c);
                different += a != b ? 1 : 0;
                ASSERT_NEAR(a, b, 1e-6 * std::max(1.0, std::fabs(b))) << x << "," << y << " " << c;
            }
    // The paths do round differently: the comparison is not of one path with itself.
    EXPECT_GT(different, 0);
}
