/*
 * tovu_cgi_acl.cpp - the access rules of global "ipACL": the verdict at every
 * new connection, and the rules that cannot be read, which the start of the
 * server prints and an upload is refused for.
 *
 * The text is read once into rules (one tokenizer) and each target once into
 * what it covers (one target reader); the verdict and the list of unreadable
 * rules both stand on these two, so they can never read a rule two ways.
 *
 * A rule is an action word and a target word, split at blanks, carriage
 * returns and line feeds (not at tabs).  A target is "all" (any case), or a
 * dotted IPv4 address, alone or with "/n": the 2^(32-n) addresses from the
 * address as written, without wrapping past the last.  The verdict starts as
 * accept; the last rule whose target covers the client decides ("allow" or
 * "deny", any case; another action word changes nothing).
 *
 * An "ipACL" that is there but is not text says that the operator meant to
 * restrict access, though not how: every client is refused until it is text
 * (or taken out), and the server's start says so.  The start also names the
 * other settings of the server's access and HTTPS that are not text, and a
 * "global" that is not an object.
 */
#include "tovu_cgi_internal.h"
#include "tovu_cgi_util.h"
#include "tovu_document.h"
#include "tovu_config.h"
#include "tovu_base.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

using tovucgi::eqNoCase;

namespace {

const char kAclSeparators[] = " \r\n";
const char kAll[] = "all";
const char kAllow[] = "allow";
const char kDeny[] = "deny";
const char kDigits[] = "0123456789";
const long kPrefixMax = 32;

/* one rule as written: an action and, unless it is the text's last word, a target */
struct AclRule {
    std::string action;
    std::string target;
    bool hasTarget = false;
};

/* the rules of an "ipACL" text in order; a last word without a target ends
   the list as a rule of its own with no target */
std::vector<AclRule> aclRules(const char *szACL)
{
    std::vector<std::string> words;
    for (const char *p = szACL ? szACL : ""; *p;) {
        p += strspn(p, kAclSeparators);
        size_t len = strcspn(p, kAclSeparators);
        if (len)
            words.emplace_back(p, len);
        p += len;
    }
    std::vector<AclRule> rules;
    for (size_t i = 0; i < words.size(); i += 2) {
        AclRule r;
        r.action = words[i];
        if (i + 1 < words.size()) {
            r.target = words[i + 1];
            r.hasTarget = true;
        }
        rules.push_back(std::move(r));
    }
    return rules;
}

/* a word as a message shows it: control bytes as \xNN, a long word cut and marked */
std::string shownWord(const std::string &word)
{
    const size_t kShownMax = 64;
    size_t end = word.size();
    if (end > kShownMax) {
        end = kShownMax;
        // not inside a UTF-8 sequence
        while (end > 0 && (static_cast<unsigned char>(word[end]) & 0xC0) == 0x80)
            --end;
    }
    std::string out;
    for (size_t i = 0; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(word[i]);
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (end < word.size())
        out += "...";
    return out;
}

/* What one target covers, and why it cannot be read as written.  A target
   that does not read strictly still covers what the verdict has always given
   it: "all/8" is all, a prefix that is not a number reads as 0, and one
   outside 0 to 32 covers nothing. */
struct AclTarget {
    bool all = false;       /* every client, with or without an address */
    bool range = false;     /* the addresses first to last (host byte order) */
    uint32_t first = 0, last = 0;
    std::string problem;    /* "" when the target reads as written */

    bool covers(const uint32_t *addr) const
    {
        return all || (range && addr && *addr >= first && *addr <= last);
    }
};

AclTarget readTarget(const std::string &word)
{
    AclTarget t;
    size_t slash = word.find('/');
    bool hasPrefix = slash != std::string::npos;
    std::string address = word.substr(0, slash);
    std::string prefix = hasPrefix ? word.substr(slash + 1) : std::string();

    struct in_addr in;
    if (inet_pton(AF_INET, address.c_str(), &in) != 1) {
        t.all = eqNoCase(address.c_str(), kAll);
        if (!t.all)
            t.problem = "\"" + shownWord(address) +
                        "\" is neither \"all\" nor an IPv4 address of four numbers from 0 to 255 "
                        "without leading zeros";
        else if (hasPrefix)
            t.problem = "\"all\" takes no prefix length";
        return t;
    }

    uint64_t first = ntohl(in.s_addr);
    uint64_t last = first;
    if (hasPrefix) {
        bool strict = !prefix.empty() && prefix.size() <= 2 &&
                      prefix.find_first_not_of(kDigits) == std::string::npos &&
                      atoi(prefix.c_str()) <= kPrefixMax;
        if (!strict)
            t.problem = "the prefix length \"" + shownWord(prefix) + "\" is not a number from 0 to 32";
        long n = strtol(prefix.c_str(), nullptr, 10);
        if (n < 0 || n > kPrefixMax)
            return t;
        last = first + ((uint64_t(1) << (kPrefixMax - n)) - 1);
        if (last > 0xffffffffu)
            last = 0xffffffffu;
    }
    t.range = true;
    t.first = static_cast<uint32_t>(first);
    t.last = static_cast<uint32_t>(last);
    return t;
}

/* the verdict for a client at *addr; with no address only "all" covers it */
bool aclVerdict(const char *szACL, const uint32_t *addr)
{
    bool accept = true;
    for (const AclRule &r : aclRules(szACL)) {
        if (!r.hasTarget || !readTarget(r.target).covers(addr))
            continue;
        if (eqNoCase(r.action.c_str(), kAllow))
            accept = true;
        else if (eqNoCase(r.action.c_str(), kDeny))
            accept = false;
    }
    return accept;
}

} // namespace

std::vector<TovuAclProblem> tovuCGIAclProblems(const char *szACL)
{
    std::vector<TovuAclProblem> problems;
    for (const AclRule &r : aclRules(szACL)) {
        TovuAclProblem p;
        if (!r.hasTarget) {
            p.rule = shownWord(r.action);
            p.reason = "no address follows \"" + p.rule + "\"";
            problems.push_back(p);
            break;
        }
        p.rule = shownWord(r.action) + " " + shownWord(r.target);
        if (!eqNoCase(r.action.c_str(), kAllow) && !eqNoCase(r.action.c_str(), kDeny))
            p.reason = "\"" + shownWord(r.action) + "\" is neither \"allow\" nor \"deny\"";
        else
            p.reason = readTarget(r.target).problem;
        if (!p.reason.empty())
            problems.push_back(p);
    }
    return problems;
}

void tovuCGIPrintAclProblems(void)
{
    // a start-up document may hold any number: the first ones are enough to act on
    const size_t kPrintedMax = 100;
    std::string acl;
    {
        TovuConfigLock lock;
        acl = jsonGetText(tovuGlobalItem("ipACL"));
    }
    std::vector<TovuAclProblem> problems = tovuCGIAclProblems(acl.c_str());
    for (size_t i = 0; i < problems.size() && i < kPrintedMax; ++i)
        tovu_message("the \"ipACL\" rule \"%s\" cannot be read: %s", problems[i].rule.c_str(),
                     problems[i].reason.c_str());
    if (problems.size() > kPrintedMax)
        tovu_message("%zu more \"ipACL\" rules cannot be read", problems.size() - kPrintedMax);
}

namespace {

/* what a JSON value is, as a message names it */
const char *jsonKindName(const cJSON *item)
{
    if (cJSON_IsNumber(item))
        return "a number";
    if (cJSON_IsBool(item))
        return "true or false";
    if (cJSON_IsNull(item))
        return "null";
    if (cJSON_IsArray(item))
        return "a list";
    if (cJSON_IsObject(item))
        return "an object";
    if (cJSON_IsString(item))
        return "a text";
    return "no JSON value";
}

} // namespace

const char *const tovuCGITextSettings[4] = {"loginPass", "ipACL", "sslCert", "sslKey"};

std::vector<std::string> tovuCGISettingTypeProblems(const cJSON *doc)
{
    std::vector<std::string> problems;
    const cJSON *global = tovuDocGlobal(doc);
    if (global && !cJSON_IsObject(global)) {
        problems.push_back(std::string("the \"global\" settings cannot be read: they are ") +
                           jsonKindName(global) + ", not an object");
        return problems;
    }
    for (const char *key : tovuCGITextSettings) {
        const cJSON *item = tovuDocGlobalItem(doc, key);
        if (!item || cJSON_IsString(item))
            continue;
        std::string text = std::string("the \"") + key + "\" setting cannot be read: it is " +
                           jsonKindName(item) + ", not a text";
        if (eqNoCase(key, "ipACL"))
            text += "; every client is refused until it is";
        problems.push_back(text);
    }
    return problems;
}

void tovuCGIPrintSettingProblems(void)
{
    std::vector<std::string> problems;
    {
        TovuConfigLock lock;
        problems = tovuCGISettingTypeProblems(g_jsonConfig);
    }
    for (const std::string &p : problems)
        tovu_message("%s", p.c_str());
    tovuCGIPrintAclProblems();
}

BOOL tovuCGIAclAccepts(const char *szACL, uint32_t addr)
{
    return aclVerdict(szACL, &addr) ? TRUE : FALSE;
}

enum MHD_Result mhdAccessPolicyCallback(void *, const struct sockaddr *addr, socklen_t)
{
    std::string acl;
    {
        TovuConfigLock lock;
        const cJSON *item = tovuGlobalItem("ipACL");
        if (item && !cJSON_IsString(item))
            return MHD_NO;
        acl = jsonGetText(item);
    }
    if (acl.empty())
        return MHD_YES;
    // the server listens on IPv4 only; for any other family only "all" matches
    if (!addr || addr->sa_family != AF_INET)
        return aclVerdict(acl.c_str(), nullptr) ? MHD_YES : MHD_NO;
    uint32_t client = ntohl(reinterpret_cast<const struct sockaddr_in *>(addr)->sin_addr.s_addr);
    return aclVerdict(acl.c_str(), &client) ? MHD_YES : MHD_NO;
}
