#include "framework/rectangle.h"

#include <sstream>

std::ostream& operator<<(std::ostream& out, const Rectangle& r) {
    return out << "(Rectangle - left: " << r.left << ", right: " << r.right << ", top: " << r.top
               << ", bottom: " << r.bottom << ")\n";
}

std::string to_string(const Rectangle& r) {
    std::ostringstream text;
    text << r;
    return text.str();
}
