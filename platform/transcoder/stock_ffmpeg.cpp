// What the stand-in changes so that stock ffmpeg does with an argument
// string what the transcoder does: the failover graph left out, read
// time-outs and protocol lists for inputs, constant frame rates, a text for
// a bare drawtext, a mode for SRT outputs, the provider of every program.
#include "stock_ffmpeg.h"

#include <string.h>
#include <strings.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

namespace standin {

namespace {

// ffmpeg options that take no value (needed to tell option values from
// addresses); every other option takes one.
const char *const kOptionsWithoutValue[] = {
    "y", "n", "re", "an", "vn", "sn", "dn", "nostdin", "stdin", "stats", "nostats",
    "shortest", "hide_banner", "copyts", "start_at_zero", "debug_ts", "ignore_unknown",
    "benchmark", "benchmark_all", "xerror", "accurate_seek", "noaccurate_seek",
    "autorotate", "noautorotate", "autoscale", "noautoscale", "dump", "hex", "vstats",
    "intra", "psnr", "bitexact", "report", "find_stream_info", "nofind_stream_info",
    "fix_sub_duration", "qphist", "copy_unknown",
};

// the option's name without its dash and stream specifier ("-c:v:0" -> "c")
std::string option_name(const std::string &option)
{
    return option.substr(1, option.find(':') - 1);
}

// options whose value is a filter graph
bool is_filter_graph_option(const std::string &option)
{
    static const char *const kGraphOptions[] = {"vf", "filter", "lavfi", "filter_complex"};
    const std::string name = option_name(option);
    return std::any_of(std::begin(kGraphOptions), std::end(kGraphOptions),
                       [&](const char *o) { return name == o; });
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)tolower(c); });
    return s;
}

// the scheme of an address in lower case ("udp" of "UDP://..."); empty when it has none
std::string scheme_of(const std::string &address)
{
    size_t sep = address.find("://");
    return sep == std::string::npos ? std::string() : lower(address.substr(0, sep));
}

bool query_names(const std::string &address, const char *key)
{
    size_t q = address.find('?');
    if (q == std::string::npos)
        return false;
    const std::string query = "&" + lower(address.substr(q + 1));
    return query.find("&" + std::string(key) + "=") != std::string::npos;
}

bool ends_with_nocase(const std::string &s, const char *suffix)
{
    size_t n = strlen(suffix);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

// the option words of a group (its "-i" and address not counted), as indices
std::vector<size_t> options_of(const Group &g, const std::vector<Role> &roles)
{
    std::vector<size_t> opts;
    size_t end = g.input ? g.address - 1 : g.address;
    for (size_t k = g.first; k < end; ++k)
        if (roles[k] == Role::Option)
            opts.push_back(k);
    return opts;
}

bool has_option(const Words &words, const std::vector<size_t> &opts, std::initializer_list<const char *> names)
{
    for (size_t k : opts) {
        const std::string name = option_name(words[k]);
        for (const char *n : names)
            if (name == n)
                return true;
    }
    return false;
}

// the words with extra words put in before some of them (by index)
Words with_inserted(const Words &words, const std::map<size_t, Words> &before)
{
    Words out;
    for (size_t i = 0; i <= words.size(); ++i) {
        auto it = before.find(i);
        if (it != before.end())
            out.insert(out.end(), it->second.begin(), it->second.end());
        if (i < words.size())
            out.push_back(words[i]);
    }
    return out;
}

// ---------------------------------------------------------------- network inputs

// Inputs that can fall silent without ending, and the option that gives
// their reads a time-out. The UDP protocol sets the generic "-rw_timeout"
// from its own "-timeout", so it takes that one; for RTMP "-timeout" would
// mean listening.
struct NetworkInput {
    const char *scheme;
    const char *option;
};
const NetworkInput kNetworkInputs[] = {
    {"udp", "-timeout"},     {"udplite", "-timeout"}, {"srt", "-rw_timeout"},   {"tcp", "-rw_timeout"},
    {"rtmp", "-rw_timeout"}, {"rtmps", "-rw_timeout"}, {"rtmpt", "-rw_timeout"}, {"rtmpe", "-rw_timeout"},
    {"rtmpte", "-rw_timeout"}, {"rtmpts", "-rw_timeout"},
};

const NetworkInput *network_input(const std::string &address)
{
    const std::string scheme = scheme_of(address);
    for (const NetworkInput &n : kNetworkInputs)
        if (scheme == n.scheme)
            return &n;
    return nullptr;
}

// Far above any SDP file the engine writes.
constexpr size_t kMaxSdpBytes = 64 * 1024;

std::string read_sdp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::string text(kMaxSdpBytes, '\0');
    in.read(&text[0], (std::streamsize)text.size());
    text.resize((size_t)std::max<std::streamsize>(in.gcount(), 0));
    return text;
}

// ---------------------------------------------------------------- drawtext

// the text a drawtext without one draws
const char kLocalTimeText[] = "text=%{localtime}";

// where a filter's arguments end in a graph: at a label, a separator or the
// end, outside quotes, with a backslash escaping the character after it
size_t args_end(const std::string &g, size_t k)
{
    bool quoted = false;
    while (k < g.size()) {
        char c = g[k];
        if (c == '\\') {
            k += 2;
            continue;
        }
        if (c == '\'')
            quoted = !quoted;
        else if (!quoted && strchr("[],;", c))
            break;
        ++k;
    }
    return std::min(k, g.size());
}

// one level of ffmpeg's quoting taken off: quotes dropped, escapes resolved;
// with a separator, the text is also cut at it (outside quotes)
std::vector<std::string> unquote_split(const std::string &s, char separator)
{
    std::vector<std::string> parts(1);
    bool quoted = false;
    for (size_t k = 0; k < s.size(); ++k) {
        char c = s[k];
        if (c == '\\' && k + 1 < s.size()) {
            parts.back() += s[++k];
        } else if (c == '\'') {
            quoted = !quoted;
        } else if (c == separator && !quoted) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

// a drawtext's arguments (as the graph holds them) name nothing to draw;
// arguments given by position are left alone
bool draws_nothing(const std::string &args)
{
    if (args.empty())
        return true;
    const std::string options = unquote_split(args, 0).front();
    for (const std::string &opt : unquote_split(options, ':')) {
        size_t eq = opt.find('=');
        if (eq == std::string::npos)
            return false;
        const std::string key = opt.substr(0, eq);
        if (key == "text" || key == "textfile" || key == "timecode" || key == "text_source")
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- programs

// The ids of the programs the -program values make: "program_num=" or,
// without one, the option's place from 1; ffmpeg makes one program per id.
size_t distinct_programs(const std::vector<std::string> &values)
{
    std::set<std::string> ids;
    for (size_t k = 0; k < values.size(); ++k) {
        std::string id = std::to_string(k + 1);
        for (const std::string &part : unquote_split(values[k], ':'))
            if (part.compare(0, 12, "program_num=") == 0)
                id = std::to_string(strtol(part.c_str() + 12, nullptr, 0));
        ids.insert(id);
    }
    return ids.size();
}

} // namespace

// ---------------------------------------------------------------- reading the words

bool is_option(const std::string &word)
{
    return word.size() > 1 && word[0] == '-';
}

bool takes_value(const std::string &option)
{
    const std::string name = option_name(option);
    return std::none_of(std::begin(kOptionsWithoutValue), std::end(kOptionsWithoutValue),
                        [&](const char *o) { return name == o; });
}

std::vector<Role> word_roles(const Words &words)
{
    const size_t n = words.size();
    std::vector<Role> role(n, Role::Option);
    for (size_t i = 0; i < n; ++i) {
        if (!is_option(words[i])) {
            role[i] = Role::Output;
        } else if (takes_value(words[i]) && i + 1 < n) {
            role[i + 1] = words[i] == "-i" ? Role::Input : Role::Value;
            ++i;
        }
    }
    return role;
}

std::vector<Group> word_groups(const Words &, const std::vector<Role> &roles)
{
    std::vector<Group> groups;
    size_t start = 0;
    for (size_t i = 0; i < roles.size(); ++i) {
        if (roles[i] == Role::Input || roles[i] == Role::Output) {
            groups.push_back({start, i, roles[i] == Role::Input});
            start = i + 1;
        }
    }
    return groups;
}

// ---------------------------------------------------------------- the changes

Words without_failover(const Words &words, std::vector<std::string> *notes)
{
    const std::vector<Role> roles = word_roles(words);
    const size_t n = words.size();
    std::vector<bool> drop(n, false);
    std::map<size_t, Words> before;
    bool found = false;
    for (size_t k = 0; k + 1 < n; ++k) {
        if (roles[k] != Role::Option || roles[k + 1] != Role::Value)
            continue;
        const std::string &value = words[k + 1];
        if (words[k] == "-lavfi:v" && value.find("streamselect") != std::string::npos &&
            value.find("scale=rw:rh") != std::string::npos) {
            // the main input's own filters come first, ended by the label fv0
            size_t own = value.find("[fv0]");
            if (own != std::string::npos && own > 0)
                before[k] = {"-filter:v", value.substr(0, own)};
            drop[k] = drop[k + 1] = found = true;
        } else if (words[k] == "-lavfi:a" && value == "astreamselect") {
            drop[k] = drop[k + 1] = found = true;
        }
    }
    if (!found)
        return words;

    // the alternate inputs follow the main input: the built-in bars and
    // silence, or a file or address looped
    std::vector<Group> inputs;
    for (const Group &g : word_groups(words, roles))
        if (g.input)
            inputs.push_back(g);
    for (size_t i = inputs.size(); i-- > 1;) {
        const Group &g = inputs[i];
        const Words opts(words.begin() + (long)g.first, words.begin() + (long)g.address - 1);
        const std::string &address = words[g.address];
        bool alternate = (opts == Words{"-re", "-f", "lavfi"} && (address == "pal100bars" || address == "aevalsrc=0")) ||
                         opts == Words{"-re", "-stream_loop", "-1"};
        if (!alternate)
            break;
        for (size_t k = g.first; k <= g.address; ++k)
            drop[k] = true;
    }

    Words out;
    for (size_t k = 0; k < n; ++k) {
        auto it = before.find(k);
        if (it != before.end())
            out.insert(out.end(), it->second.begin(), it->second.end());
        if (!drop[k])
            out.push_back(words[k]);
    }
    notes->push_back("tovul.so: the switch to the alternate input is not available on stock ffmpeg; "
                     "the channel runs on its main input alone");
    return out;
}

Words adapt_inputs(const Words &words, std::vector<std::string> *notes)
{
    const std::vector<Role> roles = word_roles(words);
    std::map<size_t, Words> before; // put in before the input's "-i"
    for (const Group &g : word_groups(words, roles)) {
        if (!g.input)
            continue;
        const std::string &address = words[g.address];
        const std::vector<size_t> opts = options_of(g, roles);
        Words &extra = before[g.address - 1];

        const NetworkInput *net = network_input(address);
        if (net && !has_option(words, opts, {"timeout", "rw_timeout"}) && !query_names(address, "timeout") &&
            !query_names(address, "rw_timeout")) {
            extra.insert(extra.end(), {net->option, std::to_string(kNetworkReadTimeoutUs)});
            notes->push_back("tovul.so: input \"" + address + "\" read with " + net->option + " " +
                             std::to_string(kNetworkReadTimeoutUs) +
                             " (a network input silent for that long ends ffmpeg in good order, so that a "
                             "stop does not wait on it)");
        }

        bool sdp = (ends_with_nocase(address, ".sdp") && address.find("://") == std::string::npos);
        for (size_t k : opts)
            sdp = sdp || (words[k] == "-f" && k + 1 < words.size() && words[k + 1] == "sdp");
        if (sdp && !has_option(words, opts, {"protocol_whitelist"})) {
            const std::string protocols = sdp_protocols(read_sdp(address));
            extra.insert(extra.end(), {"-protocol_whitelist", protocols});
            notes->push_back("tovul.so: input \"" + address + "\" allowed the protocols " + protocols +
                             " (those its SDP file names)");
        }
    }
    return with_inserted(words, before);
}

Words adapt_outputs(const Words &words, std::vector<std::string> *notes)
{
    const std::vector<Role> roles = word_roles(words);
    std::map<size_t, Words> before;
    std::map<size_t, std::string> replaced; // words changed in place (filter graphs, options)
    for (const Group &g : word_groups(words, roles)) {
        if (g.input)
            continue;
        const std::string &address = words[g.address];
        const std::vector<size_t> opts = options_of(g, roles);
        const bool fixed_mode = has_option(words, opts, {"fps_mode", "vsync"});
        std::vector<std::string> programs;
        std::string provider;
        bool programs_have_provider = false;
        bool rtp_mpegts = false;
        size_t muxrate = 0; // the "-muxrate" option's index, 0 when none
        for (size_t k : opts) {
            if (k + 1 >= g.address || roles[k + 1] != Role::Value)
                continue;
            const std::string &opt = words[k], &value = words[k + 1];
            if (option_name(opt) == "r" && !fixed_mode) {
                // ffmpeg keeps a variable frame rate for some muxers (MPEG-TS
                // among them) where the rate given is to be the output's
                before[k + 2].insert(before[k + 2].end(), {"-fps_mode" + opt.substr(2), "cfr"});
                notes->push_back("tovul.so: " + opt + " " + value + " made the output's constant rate (-fps_mode" +
                                 opt.substr(2) + " cfr)");
            } else if (is_filter_graph_option(opt)) {
                std::string graph = with_drawtext_text(value);
                if (graph != value) {
                    replaced[k + 1] = graph;
                    notes->push_back("tovul.so: a drawtext without a text draws the local time (" + opt + " \"" +
                                     graph + "\")");
                }
            } else if (opt == "-f") {
                rtp_mpegts = value == "rtp_mpegts";
            } else if (opt == "-muxrate") {
                muxrate = k;
            } else if (opt == "-program") {
                programs.push_back(value);
            } else if (option_name(opt) == "metadata" && value.compare(0, 17, "service_provider=") == 0) {
                if (opt == "-metadata")
                    provider = value;
                else if (opt.compare(0, 12, "-metadata:p:") == 0)
                    programs_have_provider = true;
            }
        }
        if (rtp_mpegts && muxrate) {
            // the RTP muxer passes its transport stream muxer only what it is given in this option
            replaced[muxrate] = "-mpegts_muxer_options";
            replaced[muxrate + 1] = "muxrate=" + words[muxrate + 1];
            notes->push_back("tovul.so: -muxrate " + words[muxrate + 1] + " given to the MPEG-TS muxer inside the RTP one "
                             "(-mpegts_muxer_options muxrate=" + words[muxrate + 1] + ")");
        }
        Words &extra = before[g.address];
        if (scheme_of(address) == "srt" && !has_option(words, opts, {"mode"}) && !query_names(address, "mode")) {
            extra.insert(extra.end(), {"-mode", "listener"});
            notes->push_back("tovul.so: SRT output \"" + address + "\" listens (-mode listener: no mode given)");
        }
        if (!programs.empty() && !provider.empty() && !programs_have_provider) {
            // ffmpeg names a program's provider only from the program's own metadata
            const size_t count = distinct_programs(programs);
            for (size_t p = 0; p < count; ++p)
                extra.insert(extra.end(), {"-metadata:p:" + std::to_string(p), provider});
            notes->push_back("tovul.so: \"" + provider + "\" given to each program of the output as well");
        }
    }
    Words changed = words;
    for (const auto &r : replaced)
        changed[r.first] = r.second;
    return with_inserted(changed, before);
}

std::string with_drawtext_text(const std::string &g)
{
    std::string out;
    const size_t n = g.size();
    size_t i = 0;
    while (i < n) {
        // blanks and input labels, then the filter's name
        size_t j = i;
        for (;;) {
            while (j < n && (g[j] == ' ' || g[j] == '\t'))
                ++j;
            if (j >= n || g[j] != '[')
                break;
            size_t close = g.find(']', j);
            j = close == std::string::npos ? n : close + 1;
        }
        const size_t name_start = j;
        while (j < n && !strchr("=,;[] \t", g[j]))
            ++j;
        const std::string name = g.substr(name_start, j - name_start);
        const bool has_args = j < n && g[j] == '=';
        const size_t end = has_args ? args_end(g, j + 1) : j;
        out.append(g, i, end - i);
        if ((name == "drawtext" || name.compare(0, 9, "drawtext@") == 0) &&
            draws_nothing(has_args ? g.substr(j + 1, end - j - 1) : std::string())) {
            out += !has_args ? "=" : end > j + 1 ? ":" : "";
            out += kLocalTimeText;
        }
        // output labels, then the separator
        i = end;
        while (i < n && g[i] != ',' && g[i] != ';')
            out += g[i++];
        if (i < n)
            out += g[i++];
    }
    return out;
}

std::string sdp_protocols(const std::string &sdp_text)
{
    std::vector<std::string> list = {"file", "crypto", "data"};
    auto add = [&list](const char *p) {
        if (std::find(list.begin(), list.end(), p) == list.end())
            list.push_back(p);
    };
    size_t pos = 0;
    while (pos < sdp_text.size()) {
        size_t end = sdp_text.find('\n', pos);
        if (end == std::string::npos)
            end = sdp_text.size();
        const std::string line = sdp_text.substr(pos, end - pos);
        pos = end + 1;
        if (line.compare(0, 2, "m=") != 0)
            continue;
        // "m=<media> <port> <transport> <formats>"
        size_t t = line.find(' ');
        t = t == std::string::npos ? t : line.find(' ', t + 1);
        if (t == std::string::npos)
            continue;
        std::string transport = line.substr(t + 1, line.find_first_of(" \r", t + 1) - t - 1);
        transport = lower(transport);
        if (transport.compare(0, 8, "rtp/savp") == 0)
            add("srtp");
        if (transport.compare(0, 4, "rtp/") == 0) {
            add("rtp");
            add("udp");
        }
    }
    if (list.size() == 3) {
        add("rtp");
        add("udp");
    }
    std::string text;
    for (const std::string &p : list)
        text += (text.empty() ? "" : ",") + p;
    return text;
}

} // namespace standin
