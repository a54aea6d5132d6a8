// The stand-in transcoder's reading of the engine's argument string.
#include "stand_in_args.h"
#include "stock_ffmpeg.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace standin {

namespace {

// ---------------------------------------------------------------- option table
// Options the engine writes that stock ffmpeg does not know, or reads
// otherwise. Everything the stand-in changes in the engine's options is here.
struct OptionRule {
    const char *option;       // as the engine writes it (it always takes a value)
    const char *stock;        // the stock ffmpeg option instead; null: dropped with its value
    bool served_https_only;   // only among the options of a served https:// output
    const char *why;          // for the note on standard error
};

const OptionRule kOptionRules[] = {
    // the plug-in encoders' core file: no stock encoder reads it, and stock
    // ffmpeg refuses the unknown option before it could name the missing encoder
    {"-omx_core", nullptr, false, "unknown to stock ffmpeg"},
    // the engine hands the certificate and key of a served https output over
    // in these two; stock ffmpeg's TLS server reads them from its own options
    {"-user_agent", "-cert_file", true, "certificate file of the served https output"},
    {"-referer", "-key_file", true, "key file of the served https output"},
};

const OptionRule *rule_for(const std::string &opt)
{
    for (const OptionRule &r : kOptionRules)
        if (opt == r.option)
            return &r;
    return nullptr;
}

bool starts_with_nocase(const std::string &s, const char *prefix)
{
    size_t n = std::char_traits<char>::length(prefix);
    return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

// Splits a -program value at the colons outside single quotes (a backslash
// outside them escaping the character after it), as ffmpeg reads it.
std::vector<std::string> program_parts(const std::string &value)
{
    std::vector<std::string> parts(1);
    bool quoted = false;
    for (size_t k = 0; k < value.size(); ++k) {
        const char c = value[k];
        if (c == '\\' && !quoted && k + 1 < value.size()) {
            parts.back() += c;
            parts.back() += value[++k];
            continue;
        }
        if (c == '\'')
            quoted = !quoted;
        if (c == ':' && !quoted)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

// One stream of an output as its -map options give it: the input it comes
// from (-1: a filter graph's), its index in that input and its kind.
struct MappedStream {
    int input;
    int index;
    char kind;
};

// A -map value read as "[-]N[:which][?]": N the input, which empty (every
// stream), "K" (stream K), a kind "v", "a", "s", "d", "t" or "V", or a kind
// and "K" (the kind's stream K). false for what is read otherwise (filter
// graph labels, programs, metadata, ...).
struct MapSelector {
    bool negative = false;
    int input = -1;
    char kind = 0;   // 0: any kind
    int index = -1;  // -1: every stream of the kind
};

bool read_number(const std::string &s, size_t *pos, int *out)
{
    size_t start = *pos;
    long v = 0;
    while (*pos < s.size() && s[*pos] >= '0' && s[*pos] <= '9' && v < 1000000)
        v = v * 10 + (s[(*pos)++] - '0');
    if (*pos == start || (*pos < s.size() && s[*pos] >= '0' && s[*pos] <= '9'))
        return false;
    *out = (int)v;
    return true;
}

bool read_map(std::string value, MapSelector *m)
{
    if (!value.empty() && value[0] == '-') {
        m->negative = true;
        value.erase(0, 1);
    }
    if (!value.empty() && value.back() == '?')
        value.pop_back();
    size_t pos = 0;
    if (!read_number(value, &pos, &m->input))
        return false;
    if (pos == value.size())
        return true;
    if (value[pos++] != ':' || pos == value.size())
        return false;
    if (std::strchr("vasdtV", value[pos])) {
        m->kind = value[pos] == 'V' ? 'v' : value[pos];
        if (++pos == value.size())
            return true;
        if (value[pos++] != ':')
            return false;
    }
    return read_number(value, &pos, &m->index) && pos == value.size();
}

// The streams of an output in order, from its -map values and the kinds
// its options disable ("-an" and the like); false when a map cannot be
// followed. A map naming one stream of a kind ("1:v:0") needs nothing more;
// any other needs the input's streams, asked of the prober once per input.
bool output_streams(const std::vector<std::string> &maps, const std::string &disabled,
                    const std::vector<StandInInput> &inputs, const InputProber &probe,
                    std::vector<StreamKinds> *known, std::vector<MappedStream> *out)
{
    std::vector<MapSelector> selectors(maps.size());
    bool need_kinds = false;
    for (size_t k = 0; k < maps.size(); ++k) {
        if (!read_map(maps[k], &selectors[k]))
            return false;
        const MapSelector &m = selectors[k];
        if (m.input >= (int)inputs.size())
            return false;
        need_kinds = need_kinds || m.negative || m.kind == 0 || m.index < 0;
    }
    auto kinds_of = [&](int input) -> const StreamKinds * {
        if (!probe)
            return nullptr;
        if ((*known)[(size_t)input].empty())
            (*known)[(size_t)input] = probe(inputs[(size_t)input]);
        const StreamKinds &k = (*known)[(size_t)input];
        return k.empty() ? nullptr : &k;
    };

    std::vector<MappedStream> streams;
    for (const MapSelector &m : selectors) {
        if (!need_kinds) {
            streams.push_back({m.input, -1, m.kind});
            continue;
        }
        const StreamKinds *kinds = kinds_of(m.input);
        if (!kinds)
            return false;
        std::vector<MappedStream> matched;
        int of_kind = 0;
        for (size_t st = 0; st < kinds->size(); ++st) {
            char kind = (*kinds)[st];
            if (m.kind && kind != m.kind)
                continue;
            int nth = m.kind ? of_kind++ : (int)st;
            if (m.index < 0 || nth == m.index)
                matched.push_back({m.input, (int)st, kind});
        }
        if (!m.negative) {
            streams.insert(streams.end(), matched.begin(), matched.end());
            continue;
        }
        streams.erase(std::remove_if(streams.begin(), streams.end(),
                                     [&](const MappedStream &s) {
                                         return std::any_of(matched.begin(), matched.end(),
                                                            [&](const MappedStream &x) {
                                                                return x.input == s.input &&
                                                                       x.index == s.index;
                                                            });
                                     }),
                      streams.end());
    }
    for (const MappedStream &s : streams)
        if (disabled.find(s.kind) == std::string::npos)
            out->push_back(s);
    return true;
}

// The engine names a program's streams by their input ("if=N" in a -program
// value); stock ffmpeg takes the output's stream indices ("st=K") instead:
// every stream of the output that comes from input N. Without maps ffmpeg
// chooses at most one stream of each kind itself, and the program holds the
// first four indices (ffmpeg passes over those the output lacks). Maps that
// cannot be followed are taken as one stream each.
std::string program_for_ffmpeg(const std::string &value, const std::vector<std::string> &maps,
                               const std::vector<MappedStream> *streams)
{
    std::string out;
    bool first = true;
    auto add = [&](const std::string &part) {
        out += (first ? "" : ":") + part;
        first = false;
    };
    for (const std::string &part : program_parts(value)) {
        if (part.compare(0, 3, "if=") != 0) {
            add(part);
            continue;
        }
        const std::string input = part.substr(3);
        bool mapped = false;
        if (streams) {
            for (size_t k = 0; k < streams->size(); ++k)
                if (std::to_string((*streams)[k].input) == input) {
                    add("st=" + std::to_string(k));
                    mapped = true;
                }
        } else {
            size_t k = 0;
            for (const std::string &map : maps) {
                if (map.compare(0, 1, "-") == 0)
                    continue;
                if (map.substr(0, map.find(':')) == input) {
                    add("st=" + std::to_string(k));
                    mapped = true;
                }
                ++k;
            }
        }
        for (size_t k = 0; !mapped && maps.empty() && k < 4; ++k)
            add("st=" + std::to_string(k));
    }
    return out;
}

// Options whose value ffmpeg reads with its own quoting (a program's
// parts, filter graphs): single quotes in it stay for ffmpeg, so that a
// program title or a filter argument may hold a colon.
bool reads_its_own_quotes(const std::string &word)
{
    static const char *const kOwnQuoting[] = {"-program", "-vf", "-af", "-filter", "-lavfi", "-filter_complex"};
    const std::string name = word.substr(0, word.find(':'));
    return std::any_of(std::begin(kOwnQuoting), std::end(kOwnQuoting), [&](const char *o) { return name == o; });
}

} // namespace

std::vector<std::string> split_words(const std::string &text)
{
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    char quote = 0;           // the quote that is open, if any
    bool keep_single = false; // the word keeps its single quotes
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!quote && (c == ' ' || c == '\t')) {
            if (in_word)
                words.push_back(word);
            word.clear();
            in_word = false;
            continue;
        }
        if (!in_word)
            keep_single = !words.empty() && reads_its_own_quotes(words.back());
        in_word = true;
        // in a value that ffmpeg unquotes itself, a backslash outside quotes
        // escapes the next character for ffmpeg: both stay, and the escaped
        // quote or blank neither groups nor ends the word
        if (!quote && keep_single && c == '\\' && i + 1 < text.size()) {
            word += c;
            word += text[++i];
            continue;
        }
        if (!quote && (c == '"' || c == '\'')) {
            quote = c;
        } else if (c == quote) {
            quote = 0;
        } else {
            word += c;
            continue;
        }
        if (c == '\'' && keep_single)
            word += c;
    }
    if (in_word)
        words.push_back(word);
    return words;
}

std::vector<std::string> local_addresses()
{
    std::vector<std::string> addrs;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return addrs;
    std::unique_ptr<struct ifaddrs, void (*)(struct ifaddrs *)> guard(list, freeifaddrs);
    for (struct ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr)
            continue;
        char text[INET6_ADDRSTRLEN] = "";
        const void *a = nullptr;
        int family = ifa->ifa_addr->sa_family;
        if (family == AF_INET)
            a = &reinterpret_cast<const struct sockaddr_in *>(ifa->ifa_addr)->sin_addr;
        else if (family == AF_INET6)
            a = &reinterpret_cast<const struct sockaddr_in6 *>(ifa->ifa_addr)->sin6_addr;
        if (a && inet_ntop(family, a, text, sizeof text))
            addrs.emplace_back(text);
    }
    return addrs;
}

bool is_served_url(const std::string &url, const std::vector<std::string> &local_addrs)
{
    size_t start;
    if (starts_with_nocase(url, "http://"))
        start = 7;
    else if (starts_with_nocase(url, "https://"))
        start = 8;
    else
        return false;
    std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos)
        authority.erase(0, at + 1);
    std::string host;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos)
            return false;
        host = authority.substr(1, close - 1);
    } else {
        host = authority.substr(0, authority.find(':'));
    }
    if (host.empty())
        return false;
    if (host == "0.0.0.0" || host == "::")
        return true;
    return std::any_of(local_addrs.begin(), local_addrs.end(), [&](const std::string &a) {
        return strcasecmp(a.c_str(), host.c_str()) == 0;
    });
}

std::vector<std::string> rewrite_for_ffmpeg(const std::vector<std::string> &given,
                                            const std::vector<std::string> &local_addrs,
                                            std::vector<std::string> *notes,
                                            std::vector<std::string> *served_urls,
                                            const InputProber &probe)
{
    // what stock ffmpeg lacks or reads otherwise, changed first
    const std::vector<std::string> words =
        adapt_outputs(adapt_inputs(without_failover(given, notes), notes), notes);

    // What each word is: an option, an option's value, an input or an output.
    const size_t n = words.size();
    const std::vector<Role> role = word_roles(words);

    // The options of an output are the words since the last input or output.
    // Each output also gets the values of its -map options and the kinds of
    // stream its options disable, which its options find by output_of.
    // Each input is kept with the format named in its options.
    std::vector<bool> served(n, false), https(n, false), has_listen(n, false);
    std::vector<size_t> output_of(n, n);
    std::vector<std::vector<std::string>> maps(n);
    std::vector<std::string> disabled(n);
    std::vector<StandInInput> inputs;
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        if (role[i] == Role::Input) {
            StandInInput in{words[i], std::string()};
            for (size_t k = start; k + 1 < i; ++k)
                if (role[k] == Role::Option && words[k] == "-f" && role[k + 1] == Role::Value)
                    in.format = words[k + 1];
            inputs.push_back(in);
            start = i + 1;
        } else if (role[i] == Role::Output) {
            bool s = is_served_url(words[i], local_addrs);
            bool h = starts_with_nocase(words[i], "https://");
            bool l = false;
            for (size_t k = start; k < i; ++k) {
                bool option = role[k] == Role::Option;
                l = l || (option && words[k] == "-listen");
                if (option && words[k] == "-map" && role[k + 1] == Role::Value)
                    maps[i].push_back(words[k + 1]);
                static const char *const kDisable[][2] = {{"-vn", "v"}, {"-an", "a"}, {"-sn", "s"}, {"-dn", "d"}};
                for (const auto &d : kDisable)
                    if (option && words[k] == d[0])
                        disabled[i] += d[1];
            }
            for (size_t k = start; k <= i; ++k) {
                served[k] = s;
                https[k] = h;
                has_listen[k] = l;
                output_of[k] = i;
            }
            start = i + 1;
        }
    }

    // the streams of each input, asked of the prober only for an output
    // whose programs need them
    std::vector<StreamKinds> known(inputs.size());
    std::vector<std::vector<MappedStream>> streams(n);
    std::vector<int> streams_known(n, -1); // -1 not yet asked, 0 no, 1 yes
    std::vector<std::string> out;
    for (size_t i = 0; i < n; ++i) {
        if (role[i] == Role::Option && words[i] == "-program" && i + 1 < n &&
            role[i + 1] == Role::Value) {
            static const std::vector<std::string> no_maps;
            const size_t o = output_of[i];
            const std::vector<MappedStream> *mapped = nullptr;
            if (o < n && !maps[o].empty()) {
                if (streams_known[o] < 0)
                    streams_known[o] =
                        output_streams(maps[o], disabled[o], inputs, probe, &known, &streams[o]) ? 1 : 0;
                if (streams_known[o] == 1)
                    mapped = &streams[o];
            }
            std::string program = program_for_ffmpeg(words[i + 1], o < n ? maps[o] : no_maps, mapped);
            if (program != words[i + 1])
                notes->push_back("tovul.so: -program \"" + words[i + 1] + "\" read as \"" + program +
                                 "\" (stock ffmpeg names a program's streams by index)");
            out.push_back(words[i]);
            out.push_back(program);
            ++i;
            continue;
        }
        if (role[i] == Role::Option) {
            const OptionRule *r = rule_for(words[i]);
            bool applies = r && (!r->served_https_only || (served[i] && https[i]));
            if (applies) {
                bool has_value = i + 1 < n && role[i + 1] == Role::Value;
                std::string value = has_value ? words[i + 1] : std::string();
                if (r->stock) {
                    notes->push_back(std::string("tovul.so: ") + r->option + " read as " +
                                     r->stock + " (" + r->why + ")");
                    out.push_back(r->stock);
                    if (has_value)
                        out.push_back(value);
                } else {
                    notes->push_back(std::string("tovul.so: dropped ") + r->option +
                                     (has_value ? " \"" + value + "\"" : std::string()) + " (" +
                                     r->why + ")");
                }
                if (has_value)
                    ++i;
                continue;
            }
        }
        if (role[i] == Role::Output && served[i] && !has_listen[i]) {
            out.push_back("-listen");
            out.push_back("1");
        }
        if (role[i] == Role::Output && served[i] && served_urls)
            served_urls->push_back(words[i]);
        out.push_back(words[i]);
    }
    return out;
}

} // namespace standin
