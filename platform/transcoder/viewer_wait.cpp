// Which served outputs still wait for their first viewer, read from the
// kernel's table of TCP sockets.
#include "viewer_wait.h"

#include <stdlib.h>
#include <strings.h>

#include <fstream>
#include <sstream>

namespace standin {
namespace {

// the state column of a listening socket in /proc/net/tcp
constexpr const char *kTcpListen = "0A";

} // namespace

int served_port(const std::string &url)
{
    size_t start;
    int port;
    if (strncasecmp(url.c_str(), "http://", 7) == 0) {
        start = 7;
        port = 80;
    } else if (strncasecmp(url.c_str(), "https://", 8) == 0) {
        start = 8;
        port = 443;
    } else {
        return 0;
    }
    std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos)
        authority.erase(0, at + 1);
    size_t close = authority.rfind(']');
    size_t colon = authority.rfind(':');
    if (colon == std::string::npos || (close != std::string::npos && colon < close))
        return port;
    std::string digits = authority.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    port = atoi(digits.c_str());
    return port > 0 && port < 65536 ? port : 0;
}

bool port_listening(int port, const std::vector<std::string> &tables)
{
    if (port <= 0)
        return false;
    for (const std::string &table : tables) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // the column titles
        while (std::getline(in, line)) {
            // "  0: 00000000:2538 00000000:0000 0A ..."
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            if (!(fields >> slot >> local >> remote >> state))
                continue;
            size_t colon = local.rfind(':');
            if (colon == std::string::npos || state != kTcpListen)
                continue;
            if (strtol(local.c_str() + colon + 1, nullptr, 16) == port)
                return true;
        }
    }
    return false;
}

std::string waiting_line(const std::string &url)
{
    return "tovul.so: waiting for a viewer at " + url;
}

std::vector<std::string> waiting_lines(const std::vector<std::string> &served_urls)
{
    std::vector<std::string> lines;
    for (const std::string &url : served_urls)
        if (port_listening(served_port(url)))
            lines.push_back(waiting_line(url));
    return lines;
}

} // namespace standin
