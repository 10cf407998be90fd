// Stand-in for a desktop service that inhibits sleep: owns one bus name on the
// session bus, answers "Inhibit" with cookie 4242 and records every "Inhibit" and
// release call, one line each, into a file.
//
//   power_inhibit_service <bus name> <record file>
//
// Prints "ready" on stdout once the name is owned; runs until killed.
//
// Test drivers are not built against the library's private D-Bus include path, so
// the few stable libdbus entry points used here are declared by hand.

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>

extern "C" {
struct DBusConnection;
struct DBusMessage;
struct DBusError {
    const char* name;
    const char* message;
    unsigned int dummy1 : 1, dummy2 : 1, dummy3 : 1, dummy4 : 1, dummy5 : 1;
    void* padding1;
};
struct DBusMessageIter {
    void* dummy[2];
    unsigned int dummy3;
    int dummy4[9];
    void* pad[2];
    char reserve[64];
};
typedef unsigned int dbus_bool_t;

void dbus_error_init(DBusError* error);
void dbus_error_free(DBusError* error);
DBusConnection* dbus_bus_get_private(int type, DBusError* error);
int dbus_bus_request_name(DBusConnection* connection, const char* name, unsigned int flags,
                          DBusError* error);
dbus_bool_t dbus_connection_read_write(DBusConnection* connection, int timeout_milliseconds);
DBusMessage* dbus_connection_pop_message(DBusConnection* connection);
dbus_bool_t dbus_connection_send(DBusConnection* connection, DBusMessage* message,
                                 unsigned int* serial);
void dbus_connection_flush(DBusConnection* connection);
int dbus_message_get_type(DBusMessage* message);
const char* dbus_message_get_member(DBusMessage* message);
const char* dbus_message_get_interface(DBusMessage* message);
const char* dbus_message_get_path(DBusMessage* message);
DBusMessage* dbus_message_new_method_return(DBusMessage* method_call);
dbus_bool_t dbus_message_append_args(DBusMessage* message, int first_arg_type, ...);
void dbus_message_unref(DBusMessage* message);
dbus_bool_t dbus_message_iter_init(DBusMessage* message, DBusMessageIter* iter);
int dbus_message_iter_get_arg_type(DBusMessageIter* iter);
void dbus_message_iter_get_basic(DBusMessageIter* iter, void* value);
dbus_bool_t dbus_message_iter_next(DBusMessageIter* iter);
}

namespace {

constexpr int kBusSession = 0;
constexpr int kMethodCall = 1;
constexpr unsigned int kDoNotQueue = 4;
constexpr int kPrimaryOwner = 1;
constexpr int kTypeInvalid = 0;
constexpr int kTypeString = 's';
constexpr int kTypeUint32 = 'u';

std::string DescribeArgs(DBusMessage* msg) {
    std::string out;
    DBusMessageIter iter;
    if (!dbus_message_iter_init(msg, &iter)) return out;
    do {
        int type = dbus_message_iter_get_arg_type(&iter);
        if (type == kTypeString) {
            const char* text = nullptr;
            dbus_message_iter_get_basic(&iter, &text);
            out += std::string(" s:") + (text ? text : "");
        } else if (type == kTypeUint32) {
            unsigned int value = 0;
            dbus_message_iter_get_basic(&iter, &value);
            out += " u:" + std::to_string(value);
        } else if (type != kTypeInvalid) {
            out += " ?:" + std::to_string(type);
        }
    } while (dbus_message_iter_next(&iter));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "usage: power_inhibit_service BUS-NAME RECORD-FILE\n"
        "Owns BUS-NAME on the session bus, answers \"Inhibit\" with cookie 4242 and appends\n"
        "every \"Inhibit\" and release call to RECORD-FILE, one line each. Prints \"ready\"\n"
        "once the name is owned; runs until killed.\n";
    bool help = argc > 1 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"));
    if (help || argc != 3 || argv[1][0] == '-') {
        if (!help && argc > 1 && argv[1][0] == '-')
            fprintf(stderr, "power_inhibit_service: unknown option %s\n", argv[1]);
        fputs(usage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    signal(SIGPIPE, SIG_IGN);
    DBusError err;
    dbus_error_init(&err);
    DBusConnection* conn = dbus_bus_get_private(kBusSession, &err);
    if (!conn) {
        fprintf(stderr, "no session bus: %s\n", err.message ? err.message : "?");
        return 1;
    }
    if (dbus_bus_request_name(conn, argv[1], kDoNotQueue, &err) != kPrimaryOwner) {
        fprintf(stderr, "cannot own %s\n", argv[1]);
        return 1;
    }
    FILE* record = fopen(argv[2], "a");
    if (!record) return 1;
    printf("ready\n");
    fflush(stdout);

    while (dbus_connection_read_write(conn, 200)) {
        while (DBusMessage* msg = dbus_connection_pop_message(conn)) {
            const char* member = dbus_message_get_member(msg);
            if (dbus_message_get_type(msg) == kMethodCall && member &&
                (!strcmp(member, "Inhibit") || !strcmp(member, "UnInhibit") ||
                 !strcmp(member, "Uninhibit"))) {
                const char* iface = dbus_message_get_interface(msg);
                const char* path = dbus_message_get_path(msg);
                fprintf(record, "%s %s %s%s\n", member, iface ? iface : "-", path ? path : "-",
                        DescribeArgs(msg).c_str());
                fflush(record);
                if (DBusMessage* reply = dbus_message_new_method_return(msg)) {
                    unsigned int cookie = 4242;
                    if (!strcmp(member, "Inhibit"))
                        dbus_message_append_args(reply, kTypeUint32, &cookie, kTypeInvalid);
                    dbus_connection_send(conn, reply, nullptr);
                    dbus_connection_flush(conn);
                    dbus_message_unref(reply);
                }
            }
            dbus_message_unref(msg);
        }
    }
    return 0;
}
