// The report's page, made from its JSON value (report.h): a table for each
// array of the data, each column named after the member it shows
// (data-key), so that a reader of the page finds the same values.
#include <cstdio>
#include <vector>

#include "report.h"

namespace vhost {

namespace {

using json::Value;

struct Column {
    const char *key, *heading;
};

struct Table {
    const char *id, *heading;
    std::vector<std::string> path; // the array: members from the top
    std::vector<Column> columns;
    const char *none; // what an empty table says
};

const Table TABLES[] = {
    {"line",
     "The line as read back",
     {"as_built", "line"},
     {{"address", "Address"},
      {"model", "Model"},
      {"name", "Name"},
      {"firmware", "Firmware"},
      {"type", "Type"},
      {"baud", "Baud"},
      {"checksum", "Checksum"},
      {"format", "Format"}},
     "No module answered."},
    {"differences",
     "Differences from the design",
     {"differences"},
     {{"address", "Address"}, {"item", "Item"}, {"design", "Design"}, {"line", "Line"}},
     "None: the line is as designed."},
    {"points",
     "Loop check",
     {"points"},
     {{"tag", "Tag"},
      {"description", "Description"},
      {"result", "Result"},
      {"seen", "Seen"},
      {"note", "Note"},
      {"engineer", "Engineer"},
      {"date", "Date"}},
     "The design has no points."},
    {"open",
     "Left open",
     {"open"},
     {{"tag", "Tag"}, {"description", "Description"}, {"result", "Result"}, {"note", "Note"}},
     "Nothing: every point passed."},
    {"design-modules",
     "The design: modules",
     {"design", "modules"},
     {{"address", "Address"},
      {"model", "Model"},
      {"name", "Name"},
      {"baud", "Baud"},
      {"checksum", "Checksum"},
      {"format", "Format"}},
     "The design has no modules."},
    {"design-points",
     "The design: points",
     {"design", "points"},
     {{"tag", "Tag"}, {"description", "Description"}, {"place", "Module and channel"}, {"safe", "Safe value"}},
     "The design has no points."},
};

// The facts of the job, one a row: heading and the member's path.
const struct {
    const char *heading, *key, *member;
} FACTS[] = {
    {"Date", "date", nullptr},
    {"Engineer", "engineer", nullptr},
    {"Driver file", "driver", "file"},
    {"Driver version", "driver", "version"},
    {"Driver SHA-256", "driver", "sha256"},
    {"Option string", "options", nullptr},
    {"Design", "design", "file"},
    {"Design SHA-256", "design", "sha256"},
    {"As-built record", "as_built", "file"},
    {"Read back on", "as_built", "date"},
    {"Port", "as_built", "port"},
};

const char *const STYLE = R"(
body { font-family: sans-serif; font-size: 11pt; margin: 2em; color: #000; }
h1 { font-size: 16pt; }
h2 { font-size: 13pt; margin-top: 1.5em; break-after: avoid; page-break-after: avoid; }
table { border-collapse: collapse; width: 100%; margin-bottom: 1em; }
th, td { border: 1px solid #888; padding: 3px 6px; text-align: left; vertical-align: top; }
th { background: #eee; }
tr { break-inside: avoid; page-break-inside: avoid; }
thead { display: table-header-group; }
td:first-child, th:first-child { white-space: nowrap; }
td.sha { font-family: monospace; font-size: 9pt; word-break: break-all; }
.passed { color: #060; } .failed { color: #a00; font-weight: bold; } .skipped, .open { color: #850; }
p.note { border-left: 3px solid #a00; padding-left: 6px; }
@media print {
  body { margin: 0; font-size: 9pt; }
  h2 { break-after: avoid; page-break-after: avoid; }
  section { break-inside: auto; }
  tr, td, th { break-inside: avoid; page-break-inside: avoid; }
}
)";

std::string escaped(const std::string &s)
{
    std::string out;
    for (char c : s)
        out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : c == '"' ? "&quot;" : std::string(1, c);
    return out;
}

// A value as a cell shows it: an address as the wire writes it ("05h"),
// a setting as on or off.
std::string cellText(const std::string &key, const Value *v)
{
    if (!v)
        return "";
    char buf[32];
    switch (v->type) {
    case Value::Type::String:
        return v->text;
    case Value::Type::Bool:
        return v->boolean ? "on" : "off";
    case Value::Type::Number:
        if (key == "address")
            snprintf(buf, sizeof buf, "%02Xh", static_cast<unsigned>(v->number));
        else
            snprintf(buf, sizeof buf, "%g", v->number);
        return buf;
    default:
        return "";
    }
}

const Value *at(const Value &top, const std::vector<std::string> &path)
{
    const Value *v = &top;
    for (const std::string &p : path)
        if (!(v = v->find(p)))
            return nullptr;
    return v;
}

std::string tableHtml(const Table &t, const Value &report)
{
    std::string s = "<section>\n<h2>" + escaped(t.heading) + "</h2>\n<table id=\"" + t.id + "\">\n<thead><tr>";
    for (const Column &c : t.columns)
        s += std::string("<th data-key=\"") + c.key + "\">" + escaped(c.heading) + "</th>";
    s += "</tr></thead>\n<tbody>\n";
    const Value *rows = at(report, t.path);
    if (!rows || rows->items.empty())
        s += "<tr class=\"none\"><td colspan=\"" + std::to_string(t.columns.size()) + "\">" + escaped(t.none) +
             "</td></tr>\n";
    for (const Value &row : rows ? rows->items : std::vector<Value>()) {
        s += "<tr>";
        for (const Column &c : t.columns) {
            const std::string text = cellText(c.key, row.find(c.key));
            const bool result = std::string(c.key) == "result";
            s += (result ? "<td class=\"" + escaped(text) + "\">" : "<td>") + escaped(text) + "</td>";
        }
        s += "</tr>\n";
    }
    return s + "</tbody>\n</table>\n</section>\n";
}

std::string factsHtml(const Value &report)
{
    std::string s = "<table id=\"facts\">\n<tbody>\n";
    for (const auto &f : FACTS) {
        const Value *v = report.find(f.key);
        if (v && f.member)
            v = v->find(f.member);
        const std::string key = std::string(f.key) + (f.member ? std::string(".") + f.member : "");
        const bool sha = f.member && std::string(f.member) == "sha256";
        s += "<tr data-key=\"" + key + "\"><th>" + escaped(f.heading) + "</th><td" + (sha ? " class=\"sha\"" : "") +
             ">" + escaped(cellText(key, v)) + "</td></tr>\n";
    }
    return s + "</tbody>\n</table>\n";
}

} // namespace

std::string reportHtml(const json::Value &report)
{
    const std::string design = report.find("design") ? report.find("design")->str("file") : "";
    std::string s = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>As-built and loop "
                    "check report: " +
                    escaped(design) + "</title>\n<style>" + STYLE + "</style>\n</head>\n<body>\n";
    s += "<h1>As-built and loop check report: " + escaped(design) + "</h1>\n";
    s += factsHtml(report);
    for (const Value &n : report.list("notes"))
        s += "<p class=\"note\">" + escaped(n.text) + "</p>\n";
    for (const Table &t : TABLES)
        s += tableHtml(t, report);
    return s + "</body>\n</html>\n";
}

} // namespace vhost
