/*
 * main.cpp - the program's entry: one background daemon per machine.
 *
 * Start-up takes the single-instance lock, makes the folders, loads the
 * configuration and binds the channel playlists, initialises the engine,
 * prints the banner, detaches, starts the web server and the enabled
 * channels, and then supervises until a stop signal.  The shutdown first
 * deletes every pending restart timer (of the channels and of the web
 * server) and waits for one already running, so that none fires into a
 * released engine or a freed document; then it stops the channels and the
 * web server, releases the engine and saves the configuration.
 *
 * Every descriptor opened here is close-on-exec, so no transcoder holds the
 * instance lock.  The program takes no arguments and reads no environment
 * variable of its own.
 */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "PlayList.h"
#include "tovu_cgi.h"
#include "tovu_config.h"
#include "tovu_document.h"
#include "tovu_helpers.h"
#include "tovu_channel.h"
#include "tovu_base.h"
#include "tovu_daemon.h"

namespace {

constexpr char kLockFile[] = "/var/run/tovul.pid";
constexpr char kConfigDir[] = "/etc/tovul";
constexpr char kDataDir[] = "/var/tovul";
constexpr char kLogDir[] = "/var/tovul/log";
constexpr char kConfigFile[] = "/etc/tovul/tovul.json";
constexpr char kPlaylistFmt[] = "%s/tovu_%03d.pls";
constexpr size_t kPlaylistPathSize = 200;
constexpr size_t kBannerSize = 200;
constexpr useconds_t kChannelStartDelayUs = 500000;

// the banner is as wide as the star line: "*", 39 characters, " *"
constexpr char kStarLine[] = "* * * * * * * * * * * * * * * * * * * * *";
constexpr int kBannerHalf = 19;
constexpr char kVersionFmt[] = "Version %s";

constexpr char kMsgRunning[] = "TOVUL running already, exiting...\n";
constexpr char kMsgInitFailed[] = "Oops, TOVUL init failed (%d)\n";
constexpr char kMsgStarting[] = "TOVUL starting web interface at %s://%s:%d...\n\n";
constexpr char kMsgWebFailed[] =
    "Web interface start failed at port %d!\n"
    "Please edit %s and change \"global.httpPort\" manually and restart program!\n\n";

// the stop signals, installed in this order once the channels are started
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGABRT, SIGQUIT};

// the web server's port, as the server reads it
int webPort()
{
    TovuConfigLock doc;
    return tovuHttpPort();
}

// Takes the instance lock for the life of the process.  false only when
// another process holds it; any other failure goes on without the guard.
bool lockInstance()
{
    int fd = open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return true;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return false;
        close(fd);
    }
    // the descriptor stays open, and with it the lock
    return true;
}

// Saves the configuration document; a failed save is said, with the file and
// the reason, instead of passing unseen.
void saveConfig()
{
    errno = 0;
    if (tovuExportConfig(nullptr) != 0) {
        int err = errno;
        tovu_message("the configuration could not be saved to %s: %s", g_tszfnConfig,
                     err ? strerror(err) : "the file is left as it was");
    }
}

// The line after "init failed": which check of the engine's set-up failed,
// and on what.
void printInitFailure(int ret)
{
    if (ret == TOVU_ERR_BUSY) {
        std::string path = std::string(tovu_get_prog_dir()) + "/" TOVU_TRANSCODER_FNAME;
        errno = 0;
        int err = access(path.c_str(), X_OK) != 0 ? errno : 0;
        tovu_message("the transcoder %s cannot be run: %s", path.c_str(),
                     err ? strerror(err) : "its folder could not be found");
    } else if (ret == TOVU_ERR_LOG) {
        tovu_message("the log folder %s cannot be used", kLogDir);
    } else {
        tovu_message("the engine could not make its channel table");
    }
}

// The line after "Web interface start failed": the system's reason, found
// by binding the port once more.
void printWebFailure(int port)
{
    int err = 0;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = errno;
    } else {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            err = errno;
        close(fd);
    }
    if (err)
        tovu_message("the web server could not listen on port %d: %s", port, strerror(err));
    else
        tovu_message("the web server could not be started on port %d", port);
}

void stopAll()
{
    // no restart timer fires from here on, none is still starting a channel
    // or restarting the web server
    tovuDeleteChannelTimers();
    tovuCancelCGIRestart();

    for (int i = 0; i < TOVU_MAX_CHANNELS; ++i)
        if (tovuGetChannelState(i) != TOVU_STATE_IDLE)
            tovuStopChannel(i, 0);
    tovuStopCGI();
    tovu_free();
    saveConfig();
    tovuFreeConfig();
}

} // namespace

int printBanner(const char *szBanner)
{
    int len = static_cast<int>(strlen(szBanner));
    int left = kBannerHalf - len / 2;
    int right = kBannerHalf - (len + 1) / 2;
    printf("*%*s%s%*s", left > 0 ? left : 0, "", szBanner, right > 0 ? right : 0, "");
    return printf(" *\n");
}

void loadConf(void)
{
    tovuSetConfigPath(kConfigDir);
    tovuImportConfig();
    for (int n = 1; n <= TOVU_MAX_CHANNELS; ++n) {
        char path[kPlaylistPathSize];
        snprintf(path, sizeof path, kPlaylistFmt, kDataDir, n);
        g_tovuPlaylists[n - 1].init(path);
    }
}

void initChannels(void)
{
    for (int i = 0; i < TOVU_MAX_CHANNELS; ++i) {
        TovuConfigLock doc;
        if (tovuChannelEnabled(i))
            tovuStartChannelPaced(i);
    }
}

int main(int argc, char *argv[])
{
    (void)argc;
    (void)argv;

    if (!lockInstance()) {
        fputs(kMsgRunning, stdout);
        return -1;
    }
    // a standard stream whose reader has gone must not end the service
    signal(SIGPIPE, SIG_IGN);

    CreateFolder(kConfigDir);
    CreateFolder(kLogDir);
    loadConf();
    printf("\n\n");

    // the engine starts with the settings a configuration upload gives it:
    // the MainConcept core file and yt-dlp's cookies file count from the
    // first channel start, not only from the first upload
    TovuEngineSettings settings;
    settings.read();
    TOVU_CONFIG config = settings.config();
    config.log_path = kLogDir;
    int ret = tovu_init(&config);
    if (ret == 0)
        ret = tovu_reset(&config);
    if (ret != 0) {
        printf(kMsgInitFailed, ret);
        fflush(stdout);
        printInitFailure(ret);
        tovu_free();
        saveConfig();
        return -1;
    }

    printf("%s\n", kStarLine);
    printBanner(TOVU_PRODUCT_NAME);
    char szBanner[kBannerSize];
    snprintf(szBanner, sizeof szBanner, kVersionFmt, tovu_get_version());
    printBanner(szBanner);
    printf("%s\n\n", kStarLine);

    bool https;
    {
        TovuConfigLock doc;
        https = jsonGetBool(tovuGlobalItem("sslEnable"));
    }
    const char *ip = get_local_ip();
    int port = webPort();
    printf(kMsgStarting, https ? "https" : "http", ip ? ip : "", port);
    // what is buffered goes out once, before the starting process ends
    fflush(stdout);

    // keep the working folder and the standard streams; the starting
    // process ends inside with status 0
    if (daemon(1, 1) != 0) {
        // start-up goes on in this process
    }
    // What a transcoder leaves behind when it ends comes to this process
    // (not to init), and the engine ends it: nothing a transcoder started
    // outlives its channel's stop or the shutdown. (Set here, after the
    // fork of the detach: a child does not inherit it.)
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    if (!tovuStartCGI()) {
        printf(kMsgWebFailed, port, kConfigFile);
        fflush(stdout);
        printWebFailure(port);
        tovu_free();
        return -1;
    }

    usleep(kChannelStartDelayUs);
    initChannels();
    for (int sig : kStopSignals)
        signal(sig, sig_handle);

    tovuInitChannelTimers();
    tovuSupervise();

    stopAll();
    return 0;
}
