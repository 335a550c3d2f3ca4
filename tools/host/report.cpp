// The report's data and its page; see report.h.
#include "report.h"

#include <cstdio>

#include "ladder.h"

namespace vhost {

namespace {

using json::Value;

const char *formatOf(const vsim::Module &m)
{
    const vsim::ModelInfo &info = m.info();
    return info.ain == 0 ? "" : m.hex ? "hex" : "decimal";
}

Value designValue(const ReportInput &in)
{
    Value d = Value::object();
    d.set("file", in.designFile);
    d.set("sha256", in.designSha);
    Value modules = Value::array();
    for (const vsim::Module &m : in.design.modules) {
        Value o = Value::object();
        o.set("address", m.address);
        o.set("model", std::to_string(m.info().number));
        o.set("name", m.name);
        o.set("baud", m.baud ? m.baud : in.design.line.baud);
        o.set("checksum", m.checksum);
        o.set("format", formatOf(m));
        modules.push(o);
    }
    d.set("modules", modules);
    Value points = Value::array();
    for (const vsim::Point &p : in.design.points) {
        Value o = Value::object();
        o.set("tag", p.tag);
        o.set("description", p.description);
        o.set("place", pointPlace(in.design, p));
        o.set("safe", p.output() ? pointValueText(p, p.safe) : "");
        points.push(o);
    }
    d.set("points", points);
    return d;
}

Value pointsValue(const ReportInput &in, Value &open)
{
    Value points = Value::array();
    for (size_t i = 0; i < in.design.points.size(); ++i) {
        const vsim::Point &p = in.design.points[i];
        PointResult r;
        for (const PointResult &e : in.loop.points)
            if (e.tag == p.tag)
                r = e;
        r.tag = p.tag;
        Value o = resultValue(r, &p.description);
        if (r.result != "passed")
            open.push(o);
        points.push(o);
    }
    return points;
}

// What the records say of themselves that the reader must know: a record
// made against another version of the design.
Value notesValue(const ReportInput &in)
{
    Value notes = Value::array();
    const Value *d = in.asBuilt.find("design");
    const std::string built = d ? d->str("sha256") : "";
    if (!built.empty() && built != in.designSha)
        notes.push("the as-built record " + in.asBuiltFile + " was made against another version of " + in.designFile);
    if (!in.loop.designSha.empty() && in.loop.designSha != in.designSha)
        notes.push("the loop check " + in.loopFile + " was made against another version of " + in.designFile);
    return notes;
}

} // namespace

json::Value reportValue(const ReportInput &in)
{
    Value r = Value::object();
    r.set("kind", "veldran-report");
    r.set("version", 1);
    r.set("date", in.date);
    r.set("engineer", in.engineer);
    Value driver = Value::object();
    driver.set("file", in.driverFile);
    driver.set("version", in.driverVersion);
    driver.set("sha256", in.driverSha);
    r.set("driver", driver);
    r.set("options", in.options);
    r.set("design", designValue(in));
    Value built = Value::object();
    built.set("file", in.asBuiltFile);
    built.set("date", in.asBuilt.str("date"));
    built.set("port", in.asBuilt.str("port"));
    Value line = Value::array();
    for (const Value &m : in.asBuilt.list("line"))
        line.push(m);
    built.set("line", line);
    r.set("as_built", built);
    Value differences = Value::array();
    for (const Value &d : in.asBuilt.list("differences"))
        differences.push(d);
    r.set("differences", differences);
    Value open = Value::array();
    r.set("points", pointsValue(in, open));
    r.set("open", open);
    r.set("notes", notesValue(in));
    return r;
}

} // namespace vhost
