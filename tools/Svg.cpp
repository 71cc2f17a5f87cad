// The samples of a history read as an SVG chart: one polyline per gate, time on x with
// dates an operator reads, values on y, a legend. Plain SVG 1.1, no scripts, so that any
// browser or report tool shows it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/Common.h"

namespace tools {

namespace {

std::string Escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
                out += c;
        }
    }
    return out;
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// A step of 1, 2 or 5 times a power of ten that cuts the span into about `parts` pieces.
double NiceStep(double span, int parts)
{
    const double raw = span / parts;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power)
            return m * power;
    return 10 * power;
}

} // namespace

bool WriteHistorySvg(const std::string &path, const std::string &title, std::vector<ChartSeries> series,
                     std::string *error)
{
    std::time_t tMin = 0, tMax = 0;
    double vMin = 0, vMax = 0;
    bool any = false;
    for (ChartSeries &s : series) {
        std::sort(s.points.begin(), s.points.end());
        for (const auto &[t, v] : s.points) {
            if (!any) {
                tMin = tMax = t;
                vMin = vMax = v;
                any = true;
            }
            tMin = std::min(tMin, t);
            tMax = std::max(tMax, t);
            vMin = std::min(vMin, v);
            vMax = std::max(vMax, v);
        }
    }
    if (tMax == tMin)
        tMax = tMin + 60;
    if (vMax == vMin) {
        vMin -= 1;
        vMax += 1;
    }
    const double vStep = NiceStep(vMax - vMin, 5);
    vMin = std::floor(vMin / vStep) * vStep;
    vMax = std::ceil(vMax / vStep) * vStep;

    const double width = 960, height = 480, left = 70, right = 220, top = 40, bottom = 70;
    const double plotW = width - left - right, plotH = height - top - bottom;
    auto X = [&](std::time_t t) { return left + plotW * static_cast<double>(t - tMin) / static_cast<double>(tMax - tMin); };
    auto Y = [&](double v) { return top + plotH * (1 - (v - vMin) / (vMax - vMin)); };
    static const char *kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf"};

    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << " " << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect x=\"0\" y=\"0\" width=\"" << width << "\" height=\"" << height << "\" fill=\"white\"/>\n"
        << "<text x=\"" << left << "\" y=\"24\" font-size=\"16\">" << Escape(title) << "</text>\n"
        << "<g class=\"axes\" stroke=\"#888\" fill=\"none\">\n"
        << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << plotW << "\" height=\"" << plotH << "\"/>\n";
    for (double v = vMin; v <= vMax + vStep / 2; v += vStep)
        svg << "<line x1=\"" << left << "\" y1=\"" << Number(Y(v)) << "\" x2=\"" << left + plotW << "\" y2=\""
            << Number(Y(v)) << "\" stroke=\"#eee\"/>\n";
    svg << "</g>\n<g class=\"labels\" fill=\"#333\">\n";
    for (double v = vMin; v <= vMax + vStep / 2; v += vStep)
        svg << "<text x=\"" << left - 6 << "\" y=\"" << Number(Y(v) + 4) << "\" text-anchor=\"end\">" << Number(v)
            << "</text>\n";
    const int ticks = 5;
    for (int i = 0; i <= ticks; i++) {
        const std::time_t t = tMin + (tMax - tMin) * i / ticks;
        const std::string stamp = TimeText(t);
        svg << "<text x=\"" << Number(X(t)) << "\" y=\"" << top + plotH + 18 << "\" text-anchor=\"middle\">"
            << stamp.substr(0, 10) << "</text>\n"
            << "<text x=\"" << Number(X(t)) << "\" y=\"" << top + plotH + 34 << "\" text-anchor=\"middle\">"
            << stamp.substr(11, 5) << "</text>\n";
    }
    svg << "</g>\n";
    for (size_t i = 0; i < series.size(); i++) {
        const char *colour = kColours[i % (sizeof kColours / sizeof *kColours)];
        svg << "<polyline class=\"series\" data-gate=\"" << Escape(series[i].name) << "\" fill=\"none\" stroke=\""
            << colour << "\" stroke-width=\"2\" points=\"";
        const char *separator = "";
        for (const auto &[t, v] : series[i].points) {
            svg << separator << Number(X(t)) << "," << Number(Y(v));
            separator = " ";
        }
        svg << "\"/>\n";
        const double ly = top + 10 + 20 * static_cast<double>(i);
        svg << "<g class=\"legend\"><line x1=\"" << width - right + 15 << "\" y1=\"" << ly << "\" x2=\""
            << width - right + 40 << "\" y2=\"" << ly << "\" stroke=\"" << colour << "\" stroke-width=\"3\"/>"
            << "<text x=\"" << width - right + 46 << "\" y=\"" << ly + 4 << "\">" << Escape(series[i].name) << " ("
            << series[i].points.size() << ")</text></g>\n";
    }
    if (!any)
        svg << "<text x=\"" << left + plotW / 2 << "\" y=\"" << top + plotH / 2
            << "\" text-anchor=\"middle\">no samples</text>\n";
    svg << "</svg>\n";

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << svg.str();
    out.close();
    if (!out) {
        *error = path + ": cannot write the chart";
        return false;
    }
    return true;
}

} // namespace tools
