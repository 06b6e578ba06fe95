// service_win32: registration, removal and the run of vo_server under the Service Control Manager.
#include "server/service.h"

#include <sodium.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include "host/host.h"
#include "host/log.h"
#include "platform/thread.h"

// The running service's state: written by service_main on the service thread, read by the
// control handler on the dispatcher's (main) thread.
struct service_state {
    SERVICE_STATUS_HANDLE handle;   // from RegisterServiceCtrlHandlerA, or 0 before it
    SERVICE_STATUS status;          // last status reported (under lock)
    plat_lock lock;                 // orders the two threads' status reports
    int stopped;                    // 1 once SERVICE_STOPPED went out: nothing is reported after it
    const server_options *options;  // the parsed command line, handed to server_run_host
};
static service_state g_service;

// Prints one message and flushes it at once, so it is seen even when the program ends next.
static void say(const char *fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
static void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

int service_install(const server_options *o) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) {
        say("GetModuleFileName failed %lu\n", GetLastError());
        return 1;
    }
    char cmdline[1024];
    if (server_service_cmdline(cmdline, sizeof cmdline, path, o) < 0) {
        sodium_memzero(cmdline, sizeof cmdline);
        say("service command line too long\n");
        return 1;
    }
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!scm) {
        sodium_memzero(cmdline, sizeof cmdline);
        say("OpenSCManager failed %lu (run as admin)\n", GetLastError());
        return 1;
    }
    SC_HANDLE svc = CreateServiceA(scm, SERVER_SERVICE_NAME, SERVER_SERVICE_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, cmdline,
                                   nullptr, nullptr, nullptr, nullptr, nullptr);
    sodium_memzero(cmdline, sizeof cmdline);   // it may hold the fixed password
    if (!svc) {
        DWORD err = GetLastError();
        if (err == ERROR_SERVICE_EXISTS) say("service already exists\n");
        else say("CreateService failed %lu\n", err);
        CloseServiceHandle(scm);
        return 1;
    }
    say("installed service '%s' (auto-start). Note: as a service it runs in session 0 and\n"
        "cannot capture the interactive desktop. For unattended host use run it in the user\n"
        "session instead (Task Scheduler at logon), or just run vo_server.exe directly.\n",
        SERVER_SERVICE_NAME);
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return 0;
}

int service_uninstall(void) {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) {
        say("OpenSCManager failed %lu\n", GetLastError());
        return 1;
    }
    SC_HANDLE svc = OpenServiceA(scm, SERVER_SERVICE_NAME, SERVICE_STOP | DELETE);
    if (!svc) {
        say("service not found\n");
        CloseServiceHandle(scm);
        return 1;
    }
    SERVICE_STATUS st;
    ControlService(svc, SERVICE_CONTROL_STOP, &st);  // a stopped service refuses; that is fine
    DeleteService(svc);                              // takes effect once the last handle closes
    say("uninstalled service '%s'\n", SERVER_SERVICE_NAME);
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return 0;
}

int service_stored_cmdline(char *out, size_t cap) {
    if (cap) out[0] = 0;
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) return 0;
    SC_HANDLE svc = OpenServiceA(scm, SERVER_SERVICE_NAME, SERVICE_QUERY_CONFIG);
    int ok = 0;
    if (svc) {
        alignas(QUERY_SERVICE_CONFIGA) BYTE buf[8192];
        QUERY_SERVICE_CONFIGA *cfg = (QUERY_SERVICE_CONFIGA *)buf;
        DWORD need = 0;
        if (QueryServiceConfigA(svc, cfg, sizeof buf, &need) && cfg->lpBinaryPathName &&
            strlen(cfg->lpBinaryPathName) < cap) {
            strcpy(out, cfg->lpBinaryPathName);
            ok = 1;
        }
        sodium_memzero(buf, sizeof buf);   // the stored line may hold the fixed password
        CloseServiceHandle(svc);
    }
    CloseServiceHandle(scm);
    return ok;
}

// Reports a new state to the manager. The handler and the service thread both report; the lock
// keeps a late "stop pending" from following "stopped". A non-zero host result is reported as the
// service's own exit code.
static void service_report(DWORD state, DWORD wait_hint, DWORD exit_code) {
    lock_enter(&g_service.lock);
    if (!g_service.stopped) {
        g_service.status.dwCurrentState = state;
        g_service.status.dwWaitHint = wait_hint;
        g_service.status.dwWin32ExitCode = exit_code ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
        g_service.status.dwServiceSpecificExitCode = exit_code;
        g_service.stopped = state == SERVICE_STOPPED;
        SetServiceStatus(g_service.handle, &g_service.status);
    }
    lock_leave(&g_service.lock);
}

// Runs on the dispatcher's thread. Stop and shutdown end the host loop; other controls are ignored.
static VOID WINAPI service_control_handler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;
    host_stop();  // the stop flag, the current connection and a waiting accept all end
    service_report(SERVICE_STOP_PENDING, 0, 0);
}

// The service thread: register, open the log, report running, run the host until it ends.
static VOID WINAPI service_main(DWORD argc, LPSTR *argv) {
    (void)argc;
    (void)argv;
    memset(&g_service.status, 0, sizeof g_service.status);
    g_service.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_service.status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    g_service.handle = RegisterServiceCtrlHandlerA(SERVER_SERVICE_NAME, service_control_handler);
    if (!g_service.handle) return;
    host_log_open_path(SERVER_SERVICE_LOG_PATH);  // keeps a log that is already open
    service_report(SERVICE_START_PENDING, 3000, 0);
    service_report(SERVICE_RUNNING, 0, 0);
    int result = server_run_host(g_service.options);
    service_report(SERVICE_STOPPED, 0, (DWORD)result);
}

int service_run(const server_options *o) {
    g_service.options = o;
    lock_init(&g_service.lock);
    SERVICE_TABLE_ENTRYA table[2] = {{(LPSTR)SERVER_SERVICE_NAME, service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
