#include "core/ClusterCondition.h"

#include <cstdio>

namespace brivo {

namespace {
std::string Tr(const std::function<std::string(const std::string&)>& translate, const std::string& s) { return translate ? translate(s) : s; }

// The reused share printed with no decimals; the template comes from the translation table,
// so only a template with exactly the expected %.0f, %% and %s is formatted, anything else
// is shown as it stands rather than risk a malformed format.
std::string FormatReused(const std::string& tmpl, double pct, const std::string& suffix) {
    std::string out;
    size_t args = 0;
    for (size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] != '%') { out.push_back(tmpl[i]); continue; }
        if (tmpl.compare(i, 4, "%.0f") == 0 && args == 0) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.0f", pct);
            out += buf;
            i += 3;
            ++args;
        } else if (tmpl.compare(i, 2, "%%") == 0) {
            out.push_back('%');
            ++i;
        } else if (tmpl.compare(i, 2, "%s") == 0 && args == 1) {
            out += suffix;
            ++i;
            ++args;
        } else {
            out.push_back('%');
        }
    }
    return out;
}
} // namespace

TClusterCondition ConditionFromReuse(int64_t tested, int64_t used, bool sampled,
                                     const std::function<std::string(const std::string&)>& translate) {
    TClusterCondition c;
    c.Text = Tr(translate, "Unknown");
    if (tested <= 0) return c;
    const double pct = static_cast<double>(used) * 100.0 / static_cast<double>(tested);
    const std::string suffix = sampled ? " sampled" : "";
    if (used == 0) {
        c.Text = Tr(translate, "Excellent") + suffix;
        c.Score = 100;
    } else if (used >= tested) {
        c.Text = Tr(translate, "Overwritten") + suffix;
        c.Score = 0;
    } else if (pct <= 5.0) {
        c.Text = FormatReused(Tr(translate, "Good, %.0f%% reused%s"), pct, suffix);
        c.Score = 80;
    } else if (pct <= 50.0) {
        c.Text = FormatReused(Tr(translate, "Damaged, %.0f%% reused%s"), pct, suffix);
        c.Score = 45;
    } else {
        c.Text = FormatReused(Tr(translate, "Poor, %.0f%% reused%s"), pct, suffix);
        c.Score = 15;
    }
    return c;
}

} // namespace brivo
