// send and term: raw command lines through the line client, each reply
// shown as its bytes came with the times from the end of the command to
// its first byte and to its carriage return, and the bursts it came in.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "bringup.h"
#include "line_input.h"

namespace vhost {

namespace {

// One raw exchange, reported as `> command`, `< reply` and its times;
// false when not one byte came back.
bool rawExchange(LineClient &line, const LineOptions &opt, const std::string &text, bool addChecksum)
{
    Reply r = line.exchange(text, addChecksum, opt.timeoutMs);
    printf("> %s\n", wire::escape(r.sent).c_str());
    if (r.bytes.empty()) {
        printf("< (nothing in %d ms)\n", opt.timeoutMs);
        return false;
    }
    printf("< %s", wire::escape(r.bytes).c_str());
    if (r.complete)
        printf("   first byte %.1f ms, CR %.1f ms\n", r.firstMs, r.crMs);
    else
        printf("   first byte %.1f ms, no CR within %d ms of the last byte\n", r.firstMs, opt.timeoutMs);
    // As the serial adapter handed them over: a USB adapter's latency timer
    // shows as bursts some 16 ms apart.
    const std::string bursts = burstsText(burstsOf(r.arrivals, line.baud()));
    if (!bursts.empty())
        printf("  %s\n", bursts.c_str());
    return true;
}

// Without a speed the raw lines talk at the INIT speed.
LineOptions rawDefaults(LineOptions opt)
{
    if (opt.baud <= 0)
        opt.baud = wire::INIT_BAUD;
    return opt;
}

// The line of send and term, open at its speed; false after saying why.
bool openRaw(LineClient &line, const LineOptions &opt, const char *command)
{
    std::string error;
    if (line.open(opt.baud, error))
        return true;
    fprintf(stderr, "veldran-host: %s: %s\n", command, error.c_str());
    return false;
}

// After a send that nothing answered: the first command once at each other
// speed, in the order a module of unknown speed is looked for (a line at a
// speed nobody chose is the likeliest cause), and the summary of what
// answered where.
Exit nothingAnswered(LineClient &line, const LineOptions &opt, const std::string &first, bool addChecksum)
{
    std::vector<int> answered;
    for (int baud : wire::probeSpeeds()) {
        std::string error;
        if (baud == opt.baud || !line.open(baud, error))
            continue;
        if (!line.exchange(first, addChecksum, opt.timeoutMs).bytes.empty())
            answered.push_back(baud);
    }
    if (answered.empty())
        printf("send: nothing answered at any speed: check the address, --checksum and the wiring\n");
    else
        printf("send: nothing answered at %d baud; at %s baud the first command was answered: try --baud %d\n",
               opt.baud, wire::speedsText(answered, "and").c_str(), answered.front());
    return EXIT_NO_ANSWER;
}

} // namespace

Exit sendCommand(const LineOptions &opt, const std::vector<std::string> &lines, bool addChecksum)
{
    const LineOptions raw = rawDefaults(opt);
    LineClient line(raw.port);
    if (!openRaw(line, raw, "send"))
        return EXIT_LINE;
    // Which line the replies come from: a speed nobody chose shows here.
    printf("send: COM%d at %d baud%s\n", raw.port, raw.baud, addChecksum ? ", checksums added" : ", no checksums");
    bool heard = false;
    for (const auto &l : lines)
        heard = rawExchange(line, raw, l, addChecksum) || heard;
    if (heard || lines.empty())
        return EXIT_OK;
    return nothingAnswered(line, raw, lines.front(), addChecksum);
}

Exit termCommand(const LineOptions &opt, bool addChecksum, std::istream &in)
{
    const LineOptions raw = rawDefaults(opt);
    LineClient line(raw.port);
    if (!openRaw(line, raw, "term"))
        return EXIT_LINE;
    printf("term: COM%d at %d baud%s; a command a line (\"history\", \"!N\" repeats line N, \"quit\")\n", raw.port,
           raw.baud, addChecksum ? ", checksums added" : "");
    LineInput input(in);
    std::vector<std::string> history;
    for (std::string text;;) {
        if (!input.read("term> ", text))
            break;
        if (text.empty())
            continue;
        // An arrow key that nothing edited away, a stray control key: never
        // onto the line, where it would be taken for a command.
        if (const std::string held = unsendable(text); !held.empty()) {
            fprintf(stderr, "term: not sent: the line holds %s (%s)\n", held.c_str(), wire::escape(text).c_str());
            continue;
        }
        if (text == "quit")
            break;
        if (text == "history") {
            for (size_t i = 0; i < history.size(); ++i)
                printf("%3zu  %s\n", i + 1, history[i].c_str());
            continue;
        }
        if (text[0] == '!' && text.size() > 1) {
            char *end = nullptr;
            const unsigned long n = std::strtoul(text.c_str() + 1, &end, 10);
            if (end && *end == '\0') {
                if (n < 1 || n > history.size()) {
                    printf("no line %s in the history\n", text.c_str() + 1);
                    continue;
                }
                text = history[n - 1];
            }
        }
        history.push_back(text);
        input.remember(text);
        rawExchange(line, raw, text, addChecksum);
    }
    printf("\n");
    return EXIT_OK;
}

} // namespace vhost
