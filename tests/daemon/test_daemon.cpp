// The whole daemon, run as root from a copy of its program folder in private
// mount and network namespaces: first start, single instance, channels at
// boot, the shutdown on SIGTERM, a busy web port, a stop signal while restart
// timers are pending, and a daemon killed outright.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/daemon_ns.h"
#include "fixtures/http_client.h"
#include "fixtures/proc_helpers.h"
#include "fixtures/engine_fixture.h"
#include "fixtures/proc_tree.h"
#include "tovu_config.h"
#include "tovu_document.h"
#include "tovu_base.h"

namespace {

namespace fs = std::filesystem;
using tovutest::waitUntil;
using Clock = std::chrono::steady_clock;
using tovutest::exists;
using tovutest::read_file;
using tovutest::write_file;

constexpr int kPort = 9527;

const char kStars[] = "* * * * * * * * * * * * * * * * * * * * *\n";

std::string expectedBanner()
{
    const char *ip = get_local_ip();
    return std::string("\n\n") + kStars +
           "*            Tovumedia Live!            *\n"
           "*           Version 6.5.7.1b            *\n" +
           kStars + "\n" + "TOVUL starting web interface at http://" + (ip ? ip : "") +
           ":9527...\n\n";
}

// one channel reading `url` (a file or a folder), to UDP with the streams copied
std::string channelJson(const std::string &url, bool enable)
{
    return std::string("{\"enable\": ") + (enable ? "true" : "false") +
           ", \"input\": {\"sources\": [{\"format\": \"file\", \"url\": \"" + url + "\"}]}, "
           "\"output\": {\"targets\": [{\"format\": \"udp\", \"url\": \"udp://127.0.0.1:5000\", "
           "\"video\": {\"codec\": \"copy\"}, \"audio\": {\"codec\": \"copy\"}}]}}";
}

std::string configJson(const std::string &global, const std::vector<std::string> &channels)
{
    std::string s = "{\"name\": \"test\", \"global\": {" + global + "}, \"channels\": [";
    for (size_t i = 0; i < channels.size(); ++i)
        s += (i ? ", " : "") + channels[i];
    return s + "]}";
}

bool portAccepts(int port)
{
    int fd = tovuhttp::connectFrom("127.0.0.1", static_cast<uint16_t>(port));
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

std::string procComm(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t open = stat.find('('), close = stat.rfind(')');
    return open == std::string::npos || close == std::string::npos ? "" : stat.substr(open + 1, close - open - 1);
}

// every process of this namespace whose name is one of `names`
std::vector<pid_t> processesNamed(std::initializer_list<const char *> names)
{
    std::vector<pid_t> found;
    std::string ourNet;
    char buf[256];
    ssize_t n = readlink("/proc/self/ns/net", buf, sizeof buf - 1);
    if (n > 0)
        ourNet.assign(buf, static_cast<size_t>(n));
    for (const auto &e : fs::directory_iterator("/proc")) {
        std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        n = readlink(("/proc/" + name + "/ns/net").c_str(), buf, sizeof buf - 1);
        if (n <= 0 || std::string(buf, static_cast<size_t>(n)) != ourNet)
            continue;
        std::string comm = procComm(std::stoi(name));
        if (!tovutest::process_runs(std::stoi(name)))
            continue;
        for (const char *want : names)
            if (comm == want)
                found.push_back(std::stoi(name));
    }
    return found;
}

// the transcoders that run: processes named tovul.so that lead a process
// group, as the engine starts each one. A fork of a transcoder's script that
// has not yet run its command (the fake one's sleeps) bears the name for a
// moment, but leads no group.
std::vector<pid_t> transcodersRunning()
{
    std::vector<pid_t> found;
    for (pid_t p : processesNamed({"tovul.so"})) {
        TovuProcStat st;
        if (tovu_proc_stat(p, &st) && st.pgrp == p)
            found.push_back(p);
    }
    return found;
}

// the process has its own handler of SIGTERM installed (until then the
// signal ends it at once, without the shutdown)
bool catchesSigterm(pid_t pid)
{
    std::string st = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = st.find("SigCgt:");
    if (at == std::string::npos)
        return false;
    unsigned long long mask = std::stoull(st.substr(at + 7), nullptr, 16);
    return (mask >> (SIGTERM - 1)) & 1;
}

class DaemonTest : public ::testing::Test {
protected:
    testproc::TempDir tmp;
    std::string etc, var, run, bin, media;
    bool entered = false;

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "the daemon tests need root (private namespaces)";
        ASSERT_FALSE(tmp.path().empty());
        etc = tmp.file("etc");
        var = tmp.file("var");
        run = tmp.file("run");
        bin = tmp.file("bin");
        media = tmp.file("media");
        for (const std::string &d : {etc, var, run, bin, media})
            fs::create_directory(d);
        std::string err;
        ASSERT_TRUE(tovuEnterDaemonNamespace(etc, var, run, tmp.path(), &err)) << err;
        entered = true;
        // the program's folder, with the fake transcoder as tovul.so
        for (const auto &e : fs::directory_iterator(TOVU_BIN_DIR))
            if (e.is_regular_file() && e.path().filename() != "tovul.so")
                fs::copy_file(e.path(), bin + "/" + e.path().filename().string());
        useFakeTranscoder();
        fakeConf("FAKE_HOLD=-1\n");
    }

    void TearDown() override
    {
        if (!entered)
            return;
        for (pid_t p : processesNamed({"tovul", "tovul.so", "ffmpeg"}))
            kill(p, SIGKILL);
        while (waitpid(-1, nullptr, WNOHANG) > 0 || waitAny(200).first > 0) {
        }
        tovuLeaveDaemonNamespace(tmp.path());
    }

    void useFakeTranscoder()
    {
        ASSERT_TRUE(tovutest::installFakeTranscoder(bin, ""));
    }
    void useStandIn() { fs::copy_file(std::string(TOVU_BIN_DIR) + "/tovul.so", bin + "/tovul.so",
                                      fs::copy_options::overwrite_existing); }
    void fakeConf(const std::string &conf) { write_file(bin + "/fake.conf", conf); }
    // the lines the fake transcoders read, one per start
    std::string records() const { return read_file(bin + "/stdin.rec"); }
    size_t nrecords() const
    {
        std::string r = records();
        return static_cast<size_t>(std::count(r.begin(), r.end(), '\n'));
    }
    void writeConfig(const std::string &json) { write_file(etc + "/tovul.json", json); }

    // runs the program as a shell would, with its output appended to `out`;
    // returns the exit status of the process started (the one that detaches)
    int startProgram(const std::string &out = "daemon.out")
    {
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(bin.c_str()) != 0)
                _exit(126);
            int fd = open(tmp.file(out).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
            execl("./tovul", "tovul", static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string output(const std::string &out = "daemon.out") const { return read_file(tmp.file(out)); }

    // the detached daemon (this test's child, as subreaper), once it runs
    pid_t daemonPid()
    {
        pid_t pid = -1;
        waitUntil([&] {
            std::vector<pid_t> p = processesNamed({"tovul"});
            pid = p.size() == 1 ? p[0] : -1;
            return pid > 0;
        }, 10000);
        return pid;
    }
    // starts the daemon and waits until its web port accepts and it has
    // begun to supervise
    pid_t startDaemon()
    {
        EXPECT_EQ(startProgram(), 0);
        pid_t pid = daemonPid();
        EXPECT_GT(pid, 0) << output();
        EXPECT_TRUE(waitUntil([] { return portAccepts(kPort); }, 10000)) << output();
        EXPECT_TRUE(waitUntil([&] { return catchesSigterm(pid); }, 10000));
        return pid;
    }
    // the next child to end within ms: its pid and exit status, or -1
    std::pair<pid_t, int> waitAny(int ms)
    {
        std::pair<pid_t, int> r{-1, -1};
        waitUntil([&] {
            int status;
            pid_t p = waitpid(-1, &status, WNOHANG);
            if (p > 0)
                r = {p, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
            return p != 0;
        }, ms);
        return r;
    }
    // the exit status of the daemon pid, waited for up to ms
    int waitDaemon(pid_t pid, int ms)
    {
        int status = -1;
        bool ended = waitUntil([&] {
            int st;
            if (waitpid(pid, &st, WNOHANG) != pid)
                return false;
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return true;
        }, ms);
        return ended ? status : -1;
    }
};

TEST_F(DaemonTest, FirstStartWritesDefaultsAndPrintsTheBanner)
{
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(output(), expectedBanner());
    std::string conf = read_file(etc + "/tovul.json");
    cJSON *doc = cJSON_Parse(conf.c_str());
    ASSERT_NE(doc, nullptr) << conf;
    EXPECT_EQ(jsonGetInt(tovuDocGlobalItem(doc, "httpPort")), kPort);
    cJSON_Delete(doc);
    EXPECT_TRUE(fs::is_directory(var + "/log"));
    // nothing is written into the lock file
    EXPECT_TRUE(exists(run + "/tovul.pid"));
    EXPECT_EQ(read_file(run + "/tovul.pid"), "");

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(waitDaemon(pid, 20000), 0) << output();
}

TEST_F(DaemonTest, SecondInstanceIsRefusedAndTouchesNothing)
{
    writeConfig(configJson("\"autoRestart\": 1", {channelJson(media, true)}));
    write_file(media + "/a.ts", "x");
    pid_t first = startDaemon();
    ASSERT_GT(first, 0);
    ASSERT_TRUE(waitUntil([&] { return exists(var + "/tovu_001.pls"); }, 10000));

    // every file of the first instance, with its contents and time
    auto snapshot = [&] {
        std::map<std::string, std::string> files;
        for (const std::string &d : {etc, var, run})
            for (const auto &e : fs::recursive_directory_iterator(d))
                if (e.is_regular_file() && e.path().filename() != "tovu_001.log")
                    files[e.path()] = read_file(e.path()) + "@" +
                                      std::to_string(fs::last_write_time(e.path()).time_since_epoch().count());
        return files;
    };
    auto before = snapshot();
    EXPECT_EQ(startProgram("second.out"), 255);
    EXPECT_EQ(output("second.out"), "TOVUL running already, exiting...\n");
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(processesNamed({"tovul"}), std::vector<pid_t>{first});

    ASSERT_EQ(kill(first, SIGTERM), 0);
    EXPECT_EQ(waitDaemon(first, 20000), 0);
}

// channels enabled in the configuration start at boot; on SIGTERM they are
// stopped, and the configuration and the playlists are saved
TEST_F(DaemonTest, BootStartsEnabledChannelsAndSigtermStopsAndSaves)
{
    write_file(media + "/b.ts", "x");
    write_file(media + "/a.ts", "x");
    fakeConf("FAKE_HOLD=-1\nFAKE_INT_OUTPUT='interrupted by the shutdown\\n'\n");
    std::string in1 = tmp.file("in1.ts"), in2 = tmp.file("in2.ts");
    // a compact file, which the save writes formatted
    writeConfig(configJson("\"log\": 32, \"autoRestart\": 1",
                           {channelJson(media, true), channelJson(in1, true), channelJson(in2, false)}));
    // a playlist of a channel that is not started from a folder this run
    write_file(var + "/tovu_003.pls", "current /old/x.ts\n/old/x.ts\n");

    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([&] { return nrecords() >= 2; }, 10000)) << records();
    // every start of the boot came before the daemon caught SIGTERM, and
    // these transcoders run on: all of them are counted below
    std::string rec = records();
    EXPECT_EQ(nrecords(), 2u) << rec;
    EXPECT_NE(rec.find(media + "/a.ts\""), std::string::npos) << rec;
    EXPECT_NE(rec.find(in1 + "\""), std::string::npos) << rec;
    EXPECT_EQ(rec.find(in2), std::string::npos) << rec;
    std::vector<pid_t> transcoders = transcodersRunning();
    ASSERT_EQ(transcoders.size(), 2u);
    // a transcoder holds neither the instance lock nor a socket of the web server
    for (pid_t t : transcoders)
        for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(t) + "/fd")) {
            std::error_code ec;
            std::string target = fs::read_symlink(fd.path(), ec).string();
            EXPECT_EQ(target.find("tovul.pid"), std::string::npos) << t << " " << fd.path();
            EXPECT_EQ(target.find("socket:"), std::string::npos) << t << " " << fd.path() << " " << target;
        }
    std::string before = read_file(etc + "/tovul.json");

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(waitDaemon(pid, 20000), 0) << output();
    EXPECT_TRUE(processesNamed({"tovul.so"}).empty());
    for (const char *log : {"/log/tovu_001.log", "/log/tovu_002.log"})
        EXPECT_NE(read_file(var + log).find("interrupted by the shutdown"), std::string::npos) << log;

    std::string after = read_file(etc + "/tovul.json");
    EXPECT_NE(after, before);
    EXPECT_NE(after.find("\n"), std::string::npos) << "saved formatted";
    cJSON *doc = cJSON_Parse(after.c_str());
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(tovuDocChannelCount(doc), 3);
    EXPECT_TRUE(jsonGetBool(jsonGetItem(tovuDocChannel(doc, 0), "enable")));
    cJSON_Delete(doc);

    EXPECT_EQ(read_file(var + "/tovu_001.pls"),
              "current " + media + "/a.ts\n" + media + "/a.ts\n" + media + "/b.ts\n");
    EXPECT_FALSE(exists(var + "/tovu_003.pls"));
}

// the engine settings of the configuration count from boot, before any
// upload: a web video goes through yt-dlp (with the cookies file), a
// MainConcept target gets its core file
TEST_F(DaemonTest, BootGivesTheEngineTheConfiguredSettings)
{
    write_file(bin + "/yt-dlp",
               "#!/bin/sh\n"
               "for a in \"$@\"; do printf '%s|' \"$a\"; done > \"$(dirname \"$0\")/ytdlp.args\"\n"
               "echo https://media.example/v.m3u8\n",
               0755);
    const std::string page = "https://www.example/watch?v=1";
    std::string web = "{\"enable\": true, \"input\": {\"sources\": [{\"format\": \"ytdlp\", \"url\": \"" + page +
                      "\"}]}, \"output\": {\"targets\": [{\"format\": \"udp\", \"url\": \"udp://127.0.0.1:5000\", "
                      "\"video\": {\"enable\": true, \"codec\": \"copy\"}, \"audio\": {\"codec\": \"copy\"}}]}}";
    std::string omx = "{\"enable\": true, \"input\": {\"sources\": [{\"format\": \"udp\", \"url\": "
                      "\"udp://127.0.0.1:6000\"}]}, \"output\": {\"targets\": [{\"format\": \"udp\", \"url\": "
                      "\"udp://127.0.0.1:5001\", \"video\": {\"enable\": true, \"codec\": \"omx264\"}}]}}";
    writeConfig(configJson("\"log\": 32, \"ytdlpPath\": \"/etc/tovul/cookies.txt\", \"omxPath\": \"/opt/omx/core.so\"",
                           {web, omx}));

    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([&] { return nrecords() >= 2; }, 15000)) << records() << read_file(var + "/log/tovu_001.log");
    EXPECT_EQ(read_file(bin + "/ytdlp.args"), "-q|--no-warnings|-g|--cookies|/etc/tovul/cookies.txt|" + page + "|");
    std::string rec = records();
    EXPECT_NE(rec.find("-i \"https://media.example/v.m3u8\""), std::string::npos) << rec;
    EXPECT_EQ(rec.find(page), std::string::npos) << rec;
    EXPECT_NE(rec.find("-c:v omx_enc_avc -omx_core \"/opt/omx/core.so\" "), std::string::npos) << rec;

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(waitDaemon(pid, 20000), 0) << output();
}

TEST_F(DaemonTest, BusyPortEndsTheDetachedProcessWith255)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kPort);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    std::string conf = configJson("\"autoRestart\": 1", {channelJson(tmp.file("in.ts"), true)});
    writeConfig(conf);
    write_file(var + "/tovu_002.pls", "current /old/x.ts\n/old/x.ts\n");

    EXPECT_EQ(startProgram(), 0) << "the starting process ends with 0";
    std::pair<pid_t, int> ended = waitAny(20000);
    EXPECT_GT(ended.first, 0);
    EXPECT_EQ(ended.second, 255);
    EXPECT_EQ(output(), expectedBanner() +
                            "Web interface start failed at port 9527!\nPlease edit /etc/tovul/tovul.json "
                            "and change \"global.httpPort\" manually and restart program!\n\n"
                            "TOVUL: the web server could not listen on port 9527: Address already in use\n");
    EXPECT_EQ(read_file(etc + "/tovul.json"), conf) << "not saved";
    EXPECT_EQ(nrecords(), 0u) << "no channel started";
    // the playlists, bound but not built, delete their files at exit
    EXPECT_FALSE(exists(var + "/tovu_002.pls"));
    close(fd);
}

// no transcoder beside the program: the engine refuses to start, before the
// program detaches; the configuration is saved, the playlists delete their files
TEST_F(DaemonTest, EngineFailureEndsTheStartWith255)
{
    fs::remove(bin + "/tovul.so");
    std::string conf = configJson("\"autoRestart\": 1", {channelJson(tmp.file("in.ts"), true)});
    writeConfig(conf);
    write_file(var + "/tovu_001.pls", "current /old/x.ts\n/old/x.ts\n");
    EXPECT_EQ(startProgram(), 255);
    EXPECT_EQ(output(), "\n\nOops, TOVUL init failed (-3)\n"
                        "TOVUL: the transcoder " + bin + "/tovul.so cannot be run: No such file or directory\n");
    std::string saved = read_file(etc + "/tovul.json");
    EXPECT_NE(saved, conf) << "saved, formatted";
    cJSON *doc = cJSON_Parse(saved.c_str());
    EXPECT_NE(doc, nullptr);
    cJSON_Delete(doc);
    EXPECT_FALSE(exists(var + "/tovu_001.pls"));
    EXPECT_TRUE(processesNamed({"tovul"}).empty());
}

// a configuration folder that cannot be written: the save at start-up (after
// an engine failure) and the one at shutdown each say so, naming the file and
// the system's reason, and the file keeps what it held
TEST_F(DaemonTest, FailedSavesArePrinted)
{
    std::string conf = configJson("\"autoRestart\": 1", {});
    writeConfig(conf);
    ASSERT_EQ(mount(nullptr, "/etc/tovul", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    const std::string failed =
        "TOVUL: the configuration could not be saved to /etc/tovul/tovul.json: Read-only file system\n";

    fs::rename(bin + "/tovul.so", bin + "/away.so");
    EXPECT_EQ(startProgram("start.out"), 255);
    EXPECT_EQ(output("start.out"), "\n\nOops, TOVUL init failed (-3)\nTOVUL: the transcoder " + bin +
                                       "/tovul.so cannot be run: No such file or directory\n" + failed);

    fs::rename(bin + "/away.so", bin + "/tovul.so");
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(waitDaemon(pid, 20000), 0) << output();
    EXPECT_EQ(output(), expectedBanner() + failed);
    EXPECT_EQ(read_file(etc + "/tovul.json"), conf);
}

// a stop signal at any point of the restart timers' delay: the daemon ends
// with 0, and no timer starts a channel afterwards (the sanitizer build
// reports one that reaches the released engine or the freed document)
TEST_F(DaemonTest, StopSignalWhileRestartTimersArePending)
{
    fakeConf("FAKE_HOLD=0\n");
    writeConfig(configJson("\"autoRestart\": 1", {channelJson(tmp.file("in0.ts"), true),
                                                  channelJson(tmp.file("in1.ts"), true)}));
    for (int offsetMs : {100, 500, 950}) {
        SCOPED_TRACE(offsetMs);
        fs::remove(bin + "/stdin.rec");
        fs::remove(tmp.file("daemon.out"));
        pid_t pid = startDaemon();
        ASSERT_GT(pid, 0);
        // the boot starts, both ended at once: both timers are pending
        ASSERT_TRUE(waitUntil([&] { return nrecords() >= 2; }, 10000));
        std::this_thread::sleep_for(std::chrono::milliseconds(offsetMs));
        ASSERT_EQ(kill(pid, SIGTERM), 0);
        EXPECT_EQ(waitDaemon(pid, 20000), 0) << output();
        size_t n = nrecords();
        // a transcoder that a late timer started has recorded its line by
        // the time it has ended
        EXPECT_TRUE(waitUntil([] { return processesNamed({"tovul.so"}).empty(); }));
        EXPECT_EQ(nrecords(), n);
        EXPECT_EQ(output().find("Sanitizer"), std::string::npos) << output();
        EXPECT_EQ(output().find("runtime error"), std::string::npos) << output();
    }
}

// What the transcoders start (in their group, and in sessions of their own)
// does not outlive their runs: a channel whose transcoder ends at once is
// started again every second, and what each run left is gone by the next;
// and nothing is left after the shutdown.
TEST_F(DaemonTest, NothingATranscoderStartsOutlivesItsRunOrTheDaemon)
{
    const std::string mark = "TOVU_TEST_TREE=" + std::to_string(getpid());
    setenv("TOVU_TEST_TREE", mark.c_str() + mark.find('=') + 1, 1);
    struct Unset {
        ~Unset() { unsetenv("TOVU_TEST_TREE"); }
    } unset;
    // 7 processes beside the transcoder (and its pause), which ends after 2 seconds
    fakeConf("FAKE_HOLD=2\nFAKE_SPAWN='sleep 1000 & yes | sleep 1000 & setsid sleep 1000 & "
             "setsid bash -c \"sleep 1000 & sleep 1000\" &'\n");
    writeConfig(configJson("\"autoRestart\": 1", {channelJson(tmp.file("in0.ts"), true),
                                                  channelJson(tmp.file("in1.ts"), true)}));
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    int most = 0;
    ASSERT_TRUE(waitUntil([&] {
        most = std::max(most, tovutest::count_marked(mark));
        return nrecords() >= 8;
    }, 30000)) << records();
    // the daemon and the two channels' present runs, no more (left behind
    // by each of the runs before, there would be 7 more each)
    EXPECT_GE(most, 1 + 9);
    EXPECT_LE(most, 1 + 2 * 9);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(waitDaemon(pid, 20000), 0) << output();
    EXPECT_EQ(tovutest::count_marked(mark), 0);
}

// A full log folder stops no channel: the channels start and restart, each
// channel's failed writes are printed once, and once there is room again
// the log is written again.
TEST_F(DaemonTest, FullLogFolderStopsNoChannel)
{
    // (at the daemon's path: a mount under the test folder would not be seen there)
    std::string log = "/var/tovul/log";
    fs::create_directory(log);
    ASSERT_EQ(mount("tmpfs", log.c_str(), "tmpfs", 0, "size=64k"), 0);
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{log};
    {
        std::string filler(4096, 'f');
        FILE *f = fopen((log + "/filler").c_str(), "w");
        ASSERT_NE(f, nullptr);
        while (fwrite(filler.data(), 1, filler.size(), f) == filler.size() && fflush(f) == 0) {
        }
        fclose(f);
    }
    // each run prints, then ends: the channels are started again every second
    fakeConf("FAKE_HOLD=0\nFAKE_OUTPUT='frame= 1 time=00:00:01.00 bitrate=1.0kbits/s\\n'\n");
    writeConfig(configJson("\"log\": 32, \"autoRestart\": 1",
                           {channelJson(tmp.file("in0.ts"), true), channelJson(tmp.file("in1.ts"), true)}));
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([&] { return nrecords() >= 6; }, 20000)) << records() << output();
    auto count = [](const std::string &text, const std::string &what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    };
    for (const char *name : {"tovu_001.log", "tovu_002.log"}) {
        std::string failed = std::string("channel log /var/tovul/log/") + name +
                             " could not be written: No space left on device\n";
        EXPECT_EQ(count(output(), failed), 1u) << name << "\n" << output();
    }

    fs::remove(log + "/filler");
    ASSERT_TRUE(waitUntil([&] { return count(output(), "is written again\n") == 2; }, 10000)) << output();
    EXPECT_TRUE(waitUntil([&] { return read_file(log + "/tovu_001.log").find("time=00:00:01.00") != std::string::npos; },
                        10000));
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(waitDaemon(pid, 20000), 0) << output();
}

} // namespace

namespace {

// a channel of ffmpeg's test picture to UDP on loopback, on the stand-in
std::string testPictureChannel(int port)
{
    return "{\"enable\": true, \"input\": {\"customOptions\": \"-f lavfi \", \"sources\": [{\"format\": "
           "\"file\", \"url\": \"testsrc=size=160x120:rate=10\"}]}, \"output\": {\"targets\": [{\"format\": "
           "\"udp\", \"url\": \"udp://127.0.0.1:" + std::to_string(port) + "\", \"video\": {\"enable\": "
           "true, \"codec\": \"mp2v\", \"bitRate\": 300}}]}}";
}

// The daemon killed outright: its transcoders and their ffmpeg end with it,
// and a new instance finds the lock and the port free and runs the channels.
TEST_F(DaemonTest, KilledDaemonLeavesNoTranscoderBehind)
{
    if (system("command -v ffmpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not installed";
    useStandIn();
    writeConfig(configJson("\"log\": 32, \"autoRestart\": 1", {testPictureChannel(6001), testPictureChannel(6002)}));
    auto bothRun = [] {
        return processesNamed({"ffmpeg"}).size() == 2 && transcodersRunning().size() == 2;
    };
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil(bothRun, 20000)) << read_file(var + "/log/tovu_001.log");
    // and keep running: a channel that fails would come and go
    std::vector<pid_t> running = processesNamed({"ffmpeg"});
    EXPECT_TRUE(waitUntil([&] {
        return read_file(var + "/log/tovu_001.log").find("time=00:00:02") != std::string::npos &&
               read_file(var + "/log/tovu_002.log").find("time=00:00:02") != std::string::npos;
    })) << "two seconds of each stream";
    ASSERT_EQ(processesNamed({"ffmpeg"}), running) << read_file(var + "/log/tovu_001.log");

    ASSERT_EQ(kill(pid, SIGKILL), 0);
    EXPECT_EQ(waitDaemon(pid, 10000), 128 + SIGKILL);
    auto killed = Clock::now();
    EXPECT_TRUE(waitUntil([] { return processesNamed({"tovul.so", "ffmpeg"}).empty(); }, 10000));
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed).count();
    printf("transcoders and ffmpeg gone %lld ms after the daemon was killed\n", static_cast<long long>(left));
    EXPECT_LT(left, 2000);

    fs::remove(tmp.file("daemon.out"));
    pid = startDaemon();
    ASSERT_GT(pid, 0);
    EXPECT_NE(output().find("TOVUL starting web interface"), std::string::npos) << output();
    EXPECT_TRUE(waitUntil(bothRun, 20000)) << read_file(var + "/log/tovu_001.log");
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(waitDaemon(pid, 20000), 0);
    EXPECT_TRUE(processesNamed({"tovul.so", "ffmpeg"}).empty());
}

// the processes of this namespace that run in process group pgid
std::vector<pid_t> inGroup(pid_t pgid)
{
    std::vector<pid_t> found;
    for (const auto &e : fs::directory_iterator("/proc")) {
        std::string name = e.path().filename();
        TovuProcStat st;
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            tovutest::process_runs(std::stoi(name), &st) && st.pgrp == pgid)
            found.push_back(std::stoi(name));
    }
    return found;
}

// A transcoder that ignores SIGPIPE and never reads its input (a real one
// need not notice the daemon's end) outlives a daemon killed outright, with
// what it started in its group. The next start ends that set, one line
// each, before it starts its own: one set runs. After a clean stop nothing
// runs, and no record is left.
TEST_F(DaemonTest, NextStartEndsWhatAKilledDaemonLeft)
{
    fakeConf("FAKE_HOLD=-1\nFAKE_IGNORE_PIPE=1\nFAKE_SPAWN='sleep 1000 &'\n"
             "FAKE_OUTPUT='frame= 1 time=00:00:01.00 bitrate=1.0kbits/s\\n'\nFAKE_REPEAT=100000\n"
             "FAKE_INTERVAL=0.5\n");
    writeConfig(configJson("\"autoRestart\": 1", {channelJson(tmp.file("in0.ts"), true),
                                                  channelJson(tmp.file("in1.ts"), true)}));
    const std::string record = run + "/tovul/transcoders";
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    std::vector<pid_t> first;
    ASSERT_TRUE(waitUntil([&] {
        first = transcodersRunning();
        return first.size() == 2 && inGroup(first[0]).size() >= 2 && inGroup(first[1]).size() >= 2;
    }, 20000)) << output();
    std::sort(first.begin(), first.end());
    std::string text = read_file(record);
    for (pid_t p : first)
        EXPECT_NE(text.find("\n" + std::to_string(p) + " "), std::string::npos) << text;
    struct stat st;
    ASSERT_EQ(stat(record.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((run + "/tovul").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    ASSERT_EQ(kill(pid, SIGKILL), 0);
    EXPECT_EQ(waitDaemon(pid, 10000), 128 + SIGKILL);
    // the fault this guards against: nothing of the daemon ends them
    usleep(1500000);
    for (pid_t p : first)
        ASSERT_GE(inGroup(p).size(), 2u) << "transcoder " << p << " and what it started run on";

    fs::remove(tmp.file("daemon.out"));
    pid = startDaemon();
    ASSERT_GT(pid, 0);
    for (pid_t p : first) {
        EXPECT_NE(output().find(" (process group " + std::to_string(p) + ") was left running by the last run: ended\n"),
                  std::string::npos) << output();
        EXPECT_TRUE(inGroup(p).empty()) << "group " << p;
    }
    std::vector<pid_t> second;
    EXPECT_TRUE(waitUntil([&] {
        second = transcodersRunning();
        return second.size() == 2;
    }, 20000)) << output();
    std::sort(second.begin(), second.end());
    EXPECT_NE(second, first);
    // and stays one set: the new daemon leaves the new transcoders alone
    usleep(1500000);
    std::vector<pid_t> still = transcodersRunning();
    std::sort(still.begin(), still.end());
    EXPECT_EQ(still, second);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(waitDaemon(pid, 20000), 0) << output();
    EXPECT_TRUE(processesNamed({"tovul.so", "sleep"}).empty());
    EXPECT_FALSE(exists(record));
}

} // namespace

namespace {

// one POST of a body over a new loopback connection, with a login cookie;
// the answer's status, or -1 when there is none (the daemon was killed in
// the middle, say), and its body
int postOnce(const std::string &target, const std::string &body, const std::string &cookie,
             std::string *answerBody)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(kPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        std::string request = "POST " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                              "Cookie: " + cookie + "\r\nContent-Type: application/json\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
        if (tovu_write_all(fd, request.data(), request.size()) == request.size()) {
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0)
                answer.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    size_t head = answer.find("\r\n\r\n");
    *answerBody = head == std::string::npos ? std::string() : answer.substr(head + 4);
    int status = -1;
    return sscanf(answer.c_str(), "HTTP/1.%*d %d", &status) == 1 ? status : -1;
}

// the names in the folder whose mode lets others than the owner in
std::vector<std::string> readableByOthers(const std::string &dir)
{
    std::vector<std::string> open;
    for (const auto &e : fs::directory_iterator(dir)) {
        struct stat st;
        if (lstat(e.path().c_str(), &st) == 0 && (st.st_mode & 077))
            open.push_back(e.path().filename().string());
    }
    return open;
}

// every thread of process pid has stopped (a SIGSTOP takes effect a moment
// after kill() returns: until then a save under way may still finish)
bool allThreadsStopped(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    int seen = 0;
    for (const auto &e : fs::directory_iterator(tasks, ec)) {
        const std::string stat = read_file(e.path().string() + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size())
            return false;
        char state = stat[close + 2];
        if (state != 'T' && state != 't')
            return false;
        seen++;
    }
    return !ec && seen > 0;
}

std::vector<std::string> savesLeftIn(const std::string &dir)
{
    std::vector<std::string> left;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(".tovul.json.", 0) == 0)
            left.push_back(e.path().filename().string());
    return left;
}

// A configuration file nested deeper than an upload may be is kept aside at
// start-up. Then the daemon is killed at random moments of configuration
// uploads, which a save follows: the next start removes what the killed
// saves left, one line each, and the folder holds only the configuration and
// the copy kept aside, neither of them readable by others.
TEST_F(DaemonTest, KillsDuringSavesLeaveOnlyTheOwnersFiles)
{
    std::string deep;
    for (int i = 0; i < 990; i++)
        deep += "{\"a\":";
    for (int i = 0; i < 20000; i++)
        deep += i ? ",{}" : "[{}";
    deep += "]" + std::string(990, '}');
    writeConfig(deep);
    ASSERT_EQ(chmod((etc + "/tovul.json").c_str(), 0644), 0);
    // a request log of an older version, readable by all
    write_file(etc + "/tovul_cgi.log", "[old] GET / from 127.0.0.1:1\n");
    ASSERT_EQ(chmod((etc + "/tovul_cgi.log").c_str(), 0644), 0);

    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    EXPECT_NE(output().find("TOVUL: /etc/tovul/tovul.json holds no usable configuration (nested "
                            "more than 32 levels deep); it is kept as /etc/tovul/tovul.json.bad-"),
              std::string::npos)
        << output();
    {
        HttpClient http(kPort);
        HttpAnswer ans;
        ASSERT_TRUE(http.get("/config", ans));
        EXPECT_EQ(ans.status, 200);
        EXPECT_LT(ans.body.size(), 2000u) << "the defaults, not the deep document";
    }

    // a document near the largest upload, with the login password in it
    // (with the request log on)
    const std::string big = configJson("\"log\": 1, \"loginPass\": \"secret\", \"memo\": \"" + std::string(90000, 'm') + "\"", {});
    const std::string banner = expectedBanner();
    // each start removes what the kill before it left, and says so
    auto removedAtStart = [&](const std::vector<std::string> &left, size_t others = 0) {
        const std::string out = output();
        for (const std::string &name : left) {
            EXPECT_NE(out.find("TOVUL: removed /etc/tovul/" + name + ", left by an interrupted save (process "),
                      std::string::npos)
                << out;
            EXPECT_FALSE(exists(etc + "/" + name)) << name;
        }
        EXPECT_EQ(static_cast<size_t>(std::count(out.begin(), out.end(), '\n')),
                  static_cast<size_t>(std::count(banner.begin(), banner.end(), '\n')) + left.size() + others)
            << out;
    };
    std::vector<std::string> left;
    unsigned seed = static_cast<unsigned>(getpid());
    const int kKills = 5;
    for (int round = 0; round < kKills; round++) {
        SCOPED_TRACE(round);
        if (round > 0) {
            fs::remove(tmp.file("daemon.out"));
            pid = startDaemon();
            ASSERT_GT(pid, 0);
            removedAtStart(left);
        }
        std::atomic<bool> stop{false};
        std::atomic<int> saved{0};
        std::thread uploader([&] {
            std::string answer;
            // (the answer is the document as installed, once it is saved)
            while (!stop)
                if (postOnce("/config", big, "auth=secret", &answer) == 200 && answer.find("mmmm") != std::string::npos)
                    saved++;
        });
        // At least one save done; then the daemon is stopped at random
        // moments until one finds a save under way, and killed there.
        waitUntil([&] { return saved > 0; }, 10000);
        bool caught = false;
        for (int tries = 0; tries < 5000 && !caught; tries++) {
            std::this_thread::sleep_for(std::chrono::microseconds(rand_r(&seed) % 2000));
            ASSERT_EQ(kill(pid, SIGSTOP), 0);
            ASSERT_TRUE(waitUntil([&] { return allThreadsStopped(pid); }, 10000));
            caught = !savesLeftIn(etc).empty();
            if (!caught) {
                ASSERT_EQ(kill(pid, SIGCONT), 0);
            }
        }
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        EXPECT_EQ(waitDaemon(pid, 10000), 128 + SIGKILL);
        stop = true;
        uploader.join();
        EXPECT_GT(saved, 0);
        left = savesLeftIn(etc);
        ASSERT_TRUE(caught && !left.empty()) << "no kill came during a save";
        // a whole copy of the configuration, the password in it, but for its owner only
        EXPECT_TRUE(readableByOthers(etc).empty()) << ::testing::PrintToString(readableByOthers(etc));
    }

    // and one that a playlist's save left, from the process killed last
    const std::string playlistLeft = ".tovu_001.pls." + std::to_string(pid) + ".0.0123abcd";
    write_file(var + "/" + playlistLeft, "current /m/a.ts\n/m/a.ts\n");
    fs::remove(tmp.file("daemon.out"));
    pid = startDaemon();
    ASSERT_GT(pid, 0);
    removedAtStart(left, 1);
    EXPECT_NE(output().find("TOVUL: removed /var/tovul/" + playlistLeft + ", left by an interrupted save"),
              std::string::npos)
        << output();
    EXPECT_FALSE(exists(var + "/" + playlistLeft));
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(waitDaemon(pid, 20000), 0) << output();

    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(etc))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 3u) << ::testing::PrintToString(names);
    EXPECT_EQ(names[0], "tovul.json");
    EXPECT_EQ(names[1].rfind("tovul.json.bad-", 0), 0u) << names[1];
    EXPECT_EQ(read_file(etc + "/" + names[1]), deep);
    EXPECT_EQ(names[2], "tovul_cgi.log");
    EXPECT_NE(read_file(etc + "/tovul_cgi.log").find(" POST /config from 127.0.0.1:"), std::string::npos);
    EXPECT_NE(read_file(etc + "/tovul.json").find("\"secret\""), std::string::npos);
    EXPECT_TRUE(readableByOthers(etc).empty()) << ::testing::PrintToString(readableByOthers(etc));
}

} // namespace
