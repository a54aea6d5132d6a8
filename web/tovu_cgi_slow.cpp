/*
 * tovu_cgi_slow.cpp - the bounds that keep slow clients from shutting others
 * out of the web server: the time a connection has to complete a request's
 * headers, the size of the connection table, and the share of it that one
 * client address may hold.
 *
 * The library closes a connection only when it has been idle for its
 * time-out, and every byte that arrives starts that time again: a client
 * that sends one header byte every few seconds would hold its connection for
 * good, and enough such clients fill the table.  So every connection that is
 * waiting for a request's headers (from its opening, and again from the
 * answer to its previous request) has a deadline of its own, which no byte
 * moves.  The library tells the notices here on its one thread; a small
 * watch thread sleeps until the earliest deadline and shuts the socket of
 * each connection past it, which the library then sees as closed by the
 * client and ends as it ends any other.  The watch serves nothing itself.
 *
 * The table is sized from the process's descriptor limit, raised at the
 * start when it is low, so that a crowd of short-lived connections waits for
 * room rather than for the operator; the share per address leaves room for
 * an office of browsers behind one address, or a reverse proxy.
 */
#include "tovu_cgi_internal.h"
#include "tovu_base.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;

/* the watch looks again no sooner than this after its last look, so that a
   crowd of deadlines costs a few sweeps a second, not one each */
const std::chrono::milliseconds kSweepGap(100);

/* time-outs set by a test; 0: the service's own */
std::atomic<unsigned> s_idleSecSet{0};
std::atomic<unsigned> s_headerMsSet{0};

/* one connection as the watch knows it */
struct Watched {
    int fd = -1;
    bool waiting = true;           /* for a request's headers */
    Clock::time_point deadline;    /* by which they must be in, while waiting */
};

class HeaderWatch {
public:
    /* starts the watch thread; false when it cannot be had */
    bool start(std::chrono::milliseconds headerTime) TOVU_EXCLUDES(m_mutex)
    {
        // one watch at a time, as there is one server
        if (m_thread.joinable())
            stop();
        {
            TovuMutexLock lock(m_mutex);
            m_stop = false;
            m_headerTime = headerTime;
            m_conns.clear();
        }
        try {
            m_thread = std::thread([this] { run(); });
        } catch (const std::system_error &) {
            return false;
        }
        return true;
    }

    /* ends the watch thread, if it runs; after the library's server has stopped */
    void stop() TOVU_EXCLUDES(m_mutex)
    {
        {
            TovuMutexLock lock(m_mutex);
            m_stop = true;
            m_wake.notify_all();
        }
        if (m_thread.joinable())
            m_thread.join();
        TovuMutexLock lock(m_mutex);
        m_conns.clear();
    }

    void opened(struct MHD_Connection *conn, int fd) TOVU_EXCLUDES(m_mutex)
    {
        TovuMutexLock lock(m_mutex);
        Watched &w = m_conns[conn];
        w.fd = fd;
        waitForHeaders(w);
    }

    void headersIn(struct MHD_Connection *conn) TOVU_EXCLUDES(m_mutex)
    {
        TovuMutexLock lock(m_mutex);
        auto it = m_conns.find(conn);
        if (it != m_conns.end())
            it->second.waiting = false;
    }

    void answered(struct MHD_Connection *conn) TOVU_EXCLUDES(m_mutex)
    {
        TovuMutexLock lock(m_mutex);
        auto it = m_conns.find(conn);
        if (it != m_conns.end())
            waitForHeaders(it->second);
    }

    /* the library closes the socket after this: the watch never shuts a
       descriptor that may already belong to someone else */
    void closed(struct MHD_Connection *conn) TOVU_EXCLUDES(m_mutex)
    {
        TovuMutexLock lock(m_mutex);
        m_conns.erase(conn);
    }

private:
    void waitForHeaders(Watched &w) TOVU_REQUIRES(m_mutex)
    {
        w.waiting = true;
        w.deadline = Clock::now() + m_headerTime;
        if (m_sleeping) {
            // deadlines only come later than the ones known, so only a
            // watch with none to wait for needs waking
            m_sleeping = false;
            m_wake.notify_all();
        }
    }

    void run() TOVU_EXCLUDES(m_mutex)
    {
        TovuUniqueLock lock(m_mutex);
        while (!m_stop) {
            Clock::time_point now = Clock::now();
            Clock::time_point next = Clock::time_point::max();
            for (auto &item : m_conns) {
                Watched &w = item.second;
                if (!w.waiting)
                    continue;
                if (w.deadline <= now) {
                    shutdown(w.fd, SHUT_RDWR);
                    w.waiting = false;
                } else {
                    next = std::min(next, w.deadline);
                }
            }
            m_sleeping = next == Clock::time_point::max();
            if (m_sleeping)
                lock.wait(m_wake);
            else
                lock.waitUntil(m_wake, std::max(next, now + kSweepGap));
        }
    }

    TovuMutex m_mutex;
    std::condition_variable m_wake;
    std::unordered_map<struct MHD_Connection *, Watched> m_conns TOVU_GUARDED_BY(m_mutex);
    std::chrono::milliseconds m_headerTime TOVU_GUARDED_BY(m_mutex){0};
    bool m_stop TOVU_GUARDED_BY(m_mutex) = false;
    bool m_sleeping TOVU_GUARDED_BY(m_mutex) = false;  /* with no deadline to wait for */
    std::thread m_thread;  /* started and ended by the server's start and stop, one at a time */
};

/* never destroyed: no thread object is left to the program's exit */
HeaderWatch &watch()
{
    static HeaderWatch *w = new HeaderWatch;
    return *w;
}

/* the soft descriptor limit, raised towards the wanted count when it is
   lower and the hard limit (or root) allows */
rlim_t descriptorLimit()
{
    const rlim_t wanted = TOVU_CGI_DESCRIPTORS_WANTED;
    struct rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) != 0)
        return TOVU_CGI_DESCRIPTORS_KEPT * 2;
    if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < wanted) {
        struct rlimit up = r;
        up.rlim_cur = wanted;
        if (up.rlim_max != RLIM_INFINITY && up.rlim_max < wanted)
            up.rlim_max = wanted;   // only root may; else the hard limit is as far as it goes
        if (setrlimit(RLIMIT_NOFILE, &up) != 0 && r.rlim_max != RLIM_INFINITY) {
            up.rlim_cur = r.rlim_max;
            up.rlim_max = r.rlim_max;
            setrlimit(RLIMIT_NOFILE, &up);
        }
        getrlimit(RLIMIT_NOFILE, &r);
    }
    return r.rlim_cur;
}

} // namespace

TovuCgiBounds tovuCGIBounds(void)
{
    TovuCgiBounds b;
    unsigned idle = s_idleSecSet.load();
    unsigned header = s_headerMsSet.load();
    b.idleSec = idle ? idle : TOVU_CGI_IDLE_TIMEOUT_SEC;
    b.headerMs = header ? header : TOVU_CGI_HEADER_TIMEOUT_SEC * 1000u;
    rlim_t limit = descriptorLimit();
    rlim_t room = limit > 2 * TOVU_CGI_DESCRIPTORS_KEPT ? limit - TOVU_CGI_DESCRIPTORS_KEPT : limit / 2;
    b.connections = static_cast<unsigned>(std::min<rlim_t>(room, TOVU_CGI_CONNECTIONS_MAX));
    b.perAddress = std::min<unsigned>(TOVU_CGI_CONNECTIONS_PER_ADDRESS, b.connections);
    return b;
}

bool tovuCGIWatchStart(unsigned headerMs)
{
    if (watch().start(std::chrono::milliseconds(headerMs)))
        return true;
    tovu_message("the web server's watch of slow clients could not start: a client that "
                 "sends its request slowly holds its connection until it is idle for %u s",
                 static_cast<unsigned>(TOVU_CGI_IDLE_TIMEOUT_SEC));
    return false;
}

void tovuCGIWatchStop(void)
{
    watch().stop();
}

void tovuCGIConnectionNotice(void *, struct MHD_Connection *connection, void **,
                             enum MHD_ConnectionNotificationCode code)
{
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        watch().closed(connection);
        return;
    }
    const union MHD_ConnectionInfo *info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info)
        watch().opened(connection, info->connect_fd);
}

void tovuCGIHeadersIn(struct MHD_Connection *connection)
{
    watch().headersIn(connection);
}

void tovuCGIAnswered(struct MHD_Connection *connection)
{
    watch().answered(connection);
}

void _tovuCGISetTimeouts(unsigned idleSeconds, unsigned headerMilliseconds)
{
    s_idleSecSet = idleSeconds;
    s_headerMsSet = headerMilliseconds;
}
