// Power events from the system bus and sleep inhibition on the session bus.
//
// The listener owns a private system-bus connection: it alone calls libdbus on it, and
// it closes and releases it before it ends. The stop path only sets sPowerQuit and
// shuts the socket down (its descriptor published in sPowerFd while the connection is
// open) to wake the listener, then joins it. Starting and stopping the listener are
// serialised by sPowerControl, so a registration that races the removal of the last
// record waits for the old listener to end instead of starting a second one. A forked
// child inherits the records but not the listener, whose socket it shares with the
// parent: its stop path only forgets the listener.

#include "lumo/power.h"

#include <dbus/dbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "lumo/files.h"
#include "lumo/thread.h"
#include "lumo/base/utf8_internal.h"

namespace {

// Locks that threads may still use while the process exits are never destroyed.
CL_SpinLock& sPowerLock = *new CL_SpinLock;
CL_Mutex& sPowerControl = *new CL_Mutex;

CL_PowerCallbackRecord sPowerCallbacks[CL_MAX_POWER_CALLBACKS];
int32 sPowerCallbacksCount = 0;
CL_ThreadID sPowerThread = 0;
// Process that started sPowerThread.
pid_t sPowerProcess = 0;
// Socket of the listener's open connection, -1 when there is none.
int sPowerFd = -1;
// Set by the stop path so that a listener still connecting ends at once.
bool sPowerQuit = false;

void QuitListener();

const char* const kUPower = "org.freedesktop.UPower";
const char* const kLogin = "org.freedesktop.login1.Manager";

// Event carried by a message, 0 for none.
int32 Classify(DBusMessage* msg) {
    if (dbus_message_is_signal(msg, kUPower, "Resuming")) return CL_POWER_EVENT_RESUME;
    if (dbus_message_is_signal(msg, kUPower, "Sleeping")) return CL_POWER_EVENT_SUSPEND;
    if (dbus_message_is_signal(msg, kLogin, "PrepareForSleep")) {
        DBusError err;
        dbus_error_init(&err);
        dbus_bool_t sleeping = false;
        if (!dbus_message_get_args(msg, &err, DBUS_TYPE_BOOLEAN, &sleeping, DBUS_TYPE_INVALID)) {
            dbus_error_free(&err);
            return 0;
        }
        return sleeping ? CL_POWER_EVENT_SUSPEND : CL_POWER_EVENT_RESUME;
    }
    return 0;
}

void CloseConnection(DBusConnection* conn) {
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
}

int32 _PowerThread(void*) {
    // Connecting may block; nothing else sees the connection until it is published.
    DBusError err;
    dbus_error_init(&err);
    DBusConnection* conn = dbus_bus_get_private(DBUS_BUS_SYSTEM, &err);
    if (conn) {
        dbus_connection_set_exit_on_disconnect(conn, false);
        dbus_bus_add_match(conn, "type='signal',interface='org.freedesktop.UPower'", &err);
        if (!dbus_error_is_set(&err))
            dbus_bus_add_match(conn, "type='signal',interface='org.freedesktop.login1.Manager'",
                               &err);
        dbus_connection_flush(conn);
    }

    sPowerLock.Lock();
    if (!conn || dbus_error_is_set(&err) || sPowerQuit) {
        sPowerLock.Unlock();
        dbus_error_free(&err);
        if (conn) CloseConnection(conn);
        return 0;
    }
    int fd = -1;
    if (dbus_connection_get_socket(conn, &fd) && fd >= 0) sPowerFd = fd;

    while (!sPowerQuit) {
        sPowerLock.Unlock();
        bool alive = dbus_connection_read_write(conn, 1000);
        sPowerLock.Lock();
        if (!alive || sPowerQuit) break;
        // One read can queue several messages, and the next wait returns only on new
        // traffic: handle everything queued before waiting again.
        while (!sPowerQuit) {
            DBusMessage* msg = dbus_connection_pop_message(conn);
            if (!msg) break;
            int32 event = Classify(msg);
            dbus_message_unref(msg);
            if (event != 0) {
                sPowerLock.Unlock();
                _CL_InvokePowerCallbacks(event);
                sPowerLock.Lock();
            }
        }
    }
    // Once the descriptor is withdrawn the stop path no longer touches the socket, and
    // it may close.
    sPowerFd = -1;
    sPowerLock.Unlock();
    CloseConnection(conn);
    return 0;
}

}  // namespace

CL_Status CL_AddPowerCallback(CL_PowerCallback callback, void* param) {
    CL_AutoLocker control(sPowerControl);
    sPowerLock.Lock();
    if (sPowerCallbacksCount >= CL_MAX_POWER_CALLBACKS) {
        sPowerLock.Unlock();
        return CL_ERROR;
    }
    if (sPowerCallbacksCount == 0) {
        // The removal that emptied the table joined its listener under sPowerControl,
        // so none is left here.
        sPowerQuit = false;
        // The new thread waits for sPowerLock, so it starts only after the record is in.
        CL_ThreadID id = CL_Thread::Spawn("Power listener", 1, 1, _PowerThread, nullptr);
        if (id == 0) {
            sPowerLock.Unlock();
            return CL_ERROR;
        }
        sPowerThread = id;
        sPowerProcess = getpid();
    }
    sPowerCallbacks[sPowerCallbacksCount].fCallback = callback;
    sPowerCallbacks[sPowerCallbacksCount].fParam = param;
    sPowerCallbacksCount++;
    sPowerLock.Unlock();
    return CL_OK;
}

namespace {

CL_Status RemovePowerRecord(CL_PowerCallback callback, bool anyParam, void* param) {
    CL_AutoLocker control(sPowerControl);
    sPowerLock.Lock();
    int32 found = -1;
    for (int32 i = 0; i < sPowerCallbacksCount; i++) {
        if (sPowerCallbacks[i].fCallback == callback &&
            (anyParam || sPowerCallbacks[i].fParam == param)) {
            found = i;
            break;
        }
    }
    if (found < 0) {
        sPowerLock.Unlock();
        return CL_ERROR;
    }
    for (int32 i = found; i + 1 < sPowerCallbacksCount; i++)
        sPowerCallbacks[i] = sPowerCallbacks[i + 1];
    sPowerCallbacksCount--;
    bool last = sPowerCallbacksCount == 0;
    sPowerLock.Unlock();
    if (last) QuitListener();
    return CL_OK;
}

}  // namespace

CL_Status CL_RemovePowerCallback(CL_PowerCallback callback) {
    return RemovePowerRecord(callback, true, nullptr);
}

CL_Status CL_RemovePowerCallback(CL_PowerCallback callback, void* param) {
    return RemovePowerRecord(callback, false, param);
}

void CL_GetPowerCallbacks(CL_PowerCallbackRecord* callbacks, int32* count) {
    sPowerLock.Lock();
    for (int32 i = 0; i < sPowerCallbacksCount; i++)
        callbacks[i] = sPowerCallbacks[i];
    *count = sPowerCallbacksCount;
    sPowerLock.Unlock();
}

int32 _CL_InvokePowerCallbacks(int32 event) {
    int32 result = 0;
    sPowerLock.Lock();
    for (int32 i = 0; i < sPowerCallbacksCount; i++) {
        int32 r = sPowerCallbacks[i].fCallback(event, sPowerCallbacks[i].fParam);
        if (r != 0) result = r;
    }
    sPowerLock.Unlock();
    return result;
}

namespace {

// Stops the listener and joins it; the caller holds sPowerControl.
void QuitListener() {
    sPowerLock.Lock();
    CL_ThreadID id = sPowerThread;
    if (id != 0 && sPowerProcess != getpid()) {
        // The parent's listener: a shutdown would end it, and there is nothing to join.
        sPowerThread = 0;
        sPowerFd = -1;
        id = 0;
    }
    if (id != 0) {
        sPowerQuit = true;
        // Shutting the socket down wakes the listener at once instead of at the end of
        // its one-second wait; the listener itself closes the connection.
        if (sPowerFd >= 0) shutdown(sPowerFd, SHUT_RDWR);
    }
    sPowerLock.Unlock();
    if (id == 0) return;
    // The listener needs sPowerLock to end, so it is not held while joining.
    CL_Thread::Wait(id);
    sPowerLock.Lock();
    if (sPowerThread == id) sPowerThread = 0;
    sPowerQuit = false;
    sPowerLock.Unlock();
}

}  // namespace

void _QuitPowerThread() {
    CL_AutoLocker control(sPowerControl);
    QuitListener();
}

// Sleep inhibition. No lock: callers must not inhibit from several threads at once.
namespace {

struct InhibitService {
    const char* fName;
    const char* fInterface;
    const char* fPath;
    const char* fRelease;
};

const InhibitService kInhibitServices[] = {
    {"org.freedesktop.ScreenSaver", "org.freedesktop.ScreenSaver", "/ScreenSaver", "UnInhibit"},
    {"org.freedesktop.PowerManagement", "org.freedesktop.PowerManagement.Inhibit",
     "/org/freedesktop/PowerManagement/Inhibit", "UnInhibit"},
    {"org.mate.SessionManager", "org.mate.SessionManager", "/org/mate/SessionManager", "Uninhibit"},
    {"org.gnome.SessionManager", "org.gnome.SessionManager", "/org/gnome/SessionManager",
     "Uninhibit"},
    {nullptr, nullptr, nullptr, nullptr},
};

int32 counter = 0;
DBusConnection* sInhibitConn = nullptr;
int32 sInhibitAPI = -1;
uint32 sInhibitCookie = 0;

// libdbus aborts the process on a string argument that is not valid UTF-8, and a
// path is any bytes: invalid bytes become "?".
std::string ValidUtf8(const std::string& text) {
    std::string out;
    const uint8* s = reinterpret_cast<const uint8*>(text.data());
    size_t n = text.size(), i = 0;
    while (i < n) {
        size_t len = lumo_utf8::SequenceLength(s + i, n - i);
        if (len == 0 || (len == 1 && s[i] == 0)) {
            out += '?';
            i++;
        } else {
            out.append(text, i, len);
            i += len;
        }
    }
    if (!dbus_validate_utf8(out.c_str(), nullptr)) {
        for (char& c : out)
            if ((unsigned char)c >= 0x80) c = '?';
    }
    return out;
}

const std::string& ExecutableName() {
    // Made once and never destroyed: it may be used while the process exits.
    static const std::string* name = new std::string(ValidUtf8(CL_GetPath(CL_EXECUTABLE_NAME)));
    return *name;
}

// The first call looks for a session bus service that inhibits sleep; -2 in
// sInhibitAPI afterwards when none answers, so that no later call looks again.
void OpenInhibitService() {
    sInhibitAPI = -2;
    DBusError err;
    dbus_error_init(&err);
    sInhibitConn = dbus_bus_get_private(DBUS_BUS_SESSION, &err);
    if (!sInhibitConn) {
        dbus_error_free(&err);
        return;
    }
    dbus_connection_set_exit_on_disconnect(sInhibitConn, false);
    for (int32 i = 0; kInhibitServices[i].fName; i++) {
        if (dbus_bus_name_has_owner(sInhibitConn, kInhibitServices[i].fName, nullptr)) {
            sInhibitAPI = i;
            break;
        }
    }
    if (sInhibitAPI < 0) {
        CloseConnection(sInhibitConn);
        sInhibitConn = nullptr;
    }
}

// Asks the service to inhibit sleep and keeps the cookie of its reply (0 when none).
void SendInhibit(DBusMessage* msg) {
    const char* app = ExecutableName().c_str();
    const char* reason = "Processing";
    dbus_bool_t built;
    if (sInhibitAPI < 2) {
        built = dbus_message_append_args(msg, DBUS_TYPE_STRING, &app, DBUS_TYPE_STRING, &reason,
                                         DBUS_TYPE_INVALID);
    } else {
        dbus_uint32_t xid = 0, flags = 12;
        built = dbus_message_append_args(msg, DBUS_TYPE_STRING, &app, DBUS_TYPE_UINT32, &xid,
                                         DBUS_TYPE_STRING, &reason, DBUS_TYPE_UINT32, &flags,
                                         DBUS_TYPE_INVALID);
    }
    if (!built) return;
    DBusError err;
    dbus_error_init(&err);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(sInhibitConn, msg, 3000, &err);
    if (!reply) {
        dbus_error_free(&err);
        return;
    }
    dbus_uint32_t cookie = 0;
    DBusError argErr;
    dbus_error_init(&argErr);
    if (!dbus_message_get_args(reply, &argErr, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID)) {
        dbus_error_free(&argErr);
        cookie = 0;
    }
    sInhibitCookie = cookie;
    dbus_message_unref(reply);
}

// Gives the cookie back, without waiting for the service's answer.
void SendRelease(DBusMessage* msg) {
    dbus_uint32_t cookie = sInhibitCookie;
    if (dbus_message_append_args(msg, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID) &&
        dbus_connection_send(sInhibitConn, msg, nullptr)) {
        dbus_connection_flush(sInhibitConn);
        sInhibitCookie = 0;
    }
}

void _InhibitSleep(bool inhibit) {
    if (!sInhibitConn && sInhibitAPI == -1) OpenInhibitService();
    if (sInhibitAPI < 0 || !sInhibitConn) return;
    if (!inhibit && sInhibitCookie == 0) return;

    const InhibitService& service = kInhibitServices[sInhibitAPI];
    DBusMessage* msg = dbus_message_new_method_call(
        service.fName, service.fPath, service.fInterface, inhibit ? "Inhibit" : service.fRelease);
    if (!msg) return;
    if (inhibit)
        SendInhibit(msg);
    else
        SendRelease(msg);
    dbus_message_unref(msg);
}

}  // namespace

void CL_InhibitSleep(bool inhibit) {
    if (inhibit) {
        if (counter == 0) _InhibitSleep(true);
        if (counter < INT32_MAX) counter++;
    } else {
        int32 result = counter - 1;
        if (result == 0) _InhibitSleep(false);
        counter = result < 0 ? 0 : result;
    }
}

void _CL_CloseInhibitConnection() {
    if (sInhibitConn) {
        CloseConnection(sInhibitConn);
        sInhibitConn = nullptr;
    }
}
