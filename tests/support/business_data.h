// The small data set of the stand-in business server: drivers, databases, backups and
// users kept in memory, and the tables that its SQL subset reads. One store per
// process, guarded by its own lock.
#pragma once

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/list.h"
#include "lumo/table.h"
#include "lumo/timestamp.h"
#include "lumo/uuid.h"

namespace business {

// The data dictionary version that an upgrade reaches.
constexpr uint32 kLatestVersion = 12;
// Password of the server's administrative operations (sent in clear by the client).
inline const char kAdminPassword[] = "manager";

struct Driver {
    std::string fName;
    std::string fDescription;
    std::string fIcon;
    bool fConfigured;
};

struct Database {
    std::string fDriver;
    std::string fName;
    std::string fDescription;
    std::string fUUID;
    uint32 fVersion;
};

struct Backup {
    std::string fName;
    std::string fDriver;
    std::string fDatabase;
    std::string fUUID;
    uint32 fPosition;
};

struct User {
    std::string fName;
    std::string fFullName;
    std::string fPassword;  // as the client sends it: hashed
    bool fAdmin;
};

// Everything the server knows; every access holds fLock.
struct Store {
    std::mutex fLock;
    std::vector<Driver> fDrivers;
    std::vector<Database> fDatabases;
    std::vector<Backup> fBackups;
    std::vector<User> fUsers;
    std::map<std::string, uint32> fSessions;  // session id -> client id

    Database* FindDatabase(const std::string& driver, const std::string& name) {
        for (Database& d : fDatabases)
            if (d.fDriver == driver && d.fName == name) return &d;
        return nullptr;
    }
    const Driver* FindDriver(const std::string& name) const {
        for (const Driver& d : fDrivers)
            if (d.fName == name && d.fConfigured) return &d;
        return nullptr;
    }
    std::vector<Backup>::iterator FindBackup(const std::string& name, uint32 position) {
        return std::find_if(fBackups.begin(), fBackups.end(), [&](const Backup& b) {
            return b.fName == name && b.fPosition == position;
        });
    }
    User* FindUser(const std::string& name) {
        for (User& u : fUsers)
            if (u.fName == name) return &u;
        return nullptr;
    }
};

// A table of the SQL subset: column names and rows of values.
struct DataTable {
    std::string fName;
    std::vector<std::string> fColumns;
    CLU_List fRows;  // each row a list, in column order
};

inline CLU_List Row(std::initializer_list<CLU_Entry> values) {
    CLU_List row;
    for (const CLU_Entry& v : values)
        row.Append(v);
    return row;
}

inline CLU_Entry Value(const std::string& text) {
    CLU_Entry e;
    e.Set(text);
    return e;
}
template <class T>
inline CLU_Entry Value(T value) {
    CLU_Entry e;
    e.Set(value);
    return e;
}

inline CLU_Entry DateValue(int day, int month, int year) {
    CL_Date date;
    date.SetFields(day, month, year, 0, 0, 0, 0);
    CLU_Entry e;
    e.Set(date);
    return e;
}

// The built-in tables. "numbers" is generated on demand (any LIMIT up to 1,000,000).
inline const std::vector<DataTable>& Tables() {
    static const std::vector<DataTable> tables = [] {
        std::vector<DataTable> t;
        DataTable customers{"customers", {"id", "name", "city", "balance", "active", "since"}, {}};
        struct {
            int id;
            const char* name;
            const char* city;
            double balance;
            bool active;
            int day, month, year;
        } people[] = {
            {1, "Anna Rossi", "Milano", 1250.5, true, 12, 3, 2015},
            {2, "Bruno Bianchi", "Torino", -40.0, true, 1, 7, 2018},
            {3, "Carla Verdi", "Roma", 0.0, false, 23, 11, 2012},
            {4, "Dario Neri", "Napoli", 980.25, true, 5, 5, 2020},
            {5, "Elena Gallo", "Milano", 15.75, true, 30, 9, 2021},
            {6, "Fabio Conti", "Bologna", 310.0, false, 14, 2, 2019},
        };
        for (const auto& p : people)
            customers.fRows.Append(Row({Value(p.id), Value(std::string(p.name)),
                                        Value(std::string(p.city)), Value(p.balance),
                                        Value(p.active), DateValue(p.day, p.month, p.year)}));
        t.push_back(customers);

        DataTable products{"products", {"code", "description", "price", "stock", "picture"}, {}};
        struct {
            const char* code;
            const char* description;
            double price;
            int stock;
        } items[] = {
            {"A100", "Scrivania in legno", 249.0, 12},
            {"A200", "Sedia ergonomica", 129.9, 40},
            {"B300", "Lampada da tavolo", 35.5, 0},
            {"C400", "Libreria modulare", 189.0, 7},
        };
        for (const auto& p : items) {
            CL_Blob picture;
            picture.Append(p.code, uint32(strlen(p.code)));
            CLU_Entry blob;
            blob.Set(picture);
            products.fRows.Append(Row({Value(std::string(p.code)), Value(std::string(p.description)),
                                       Value(p.price), Value(p.stock), blob}));
        }
        t.push_back(products);

        DataTable sales{"slow_report", {"month", "customer", "total"}, {}};
        for (int m = 1; m <= 12; m++)
            sales.fRows.Append(Row({Value(m), Value(std::string(people[m % 6].name)),
                                    Value(1000.0 + 37.5 * m)}));
        t.push_back(sales);
        return t;
    }();
    return tables;
}

inline CLU_List NumberRow(int n) {
    return Row({Value(n), Value((long long)n * n), Value("number " + std::to_string(n)),
                Value(n * 0.5), Value(n % 2 == 0)});
}

// The first `count` rows of "numbers", made once and then shared by every reply.
inline CLU_List NumberRows(uint32 count) {
    static std::mutex lock;
    static CLU_List rows;
    std::lock_guard<std::mutex> guard(lock);
    while (rows.Count() < count)
        rows.Append(NumberRow(int(rows.Count() + 1)));
    if (rows.Count() == count) return rows;
    CLU_List first;
    for (uint32 i = 0; i < count; i++)
        first.Append(*rows.GetList(int32(i)));
    return first;
}

inline std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Gives `s` the initial data set (drivers, databases, backups), no users and no sessions.
inline void FillStore(Store& s) {
    s.fDrivers = {
        {"sqlite", "SQLite embedded database", "sqlite.png", true},
        {"postgres", "PostgreSQL database server", "postgres.png", true},
        {"firebird", "Firebird database server", "firebird.png", false},
    };
    s.fDatabases = {
        {"sqlite", "demo", "Demo company", "6F9619FF-8B86-D011-B42D-00C04FC964FF", kLatestVersion},
        {"sqlite", "archive", "Old archive", "0E984725-C51C-4BF4-9960-E1C80E27ABA0", 9},
        {"sqlite", "legacy", "Legacy data", "B6C1E2D4-1F0A-4E57-9A7D-2C3B4A5D6E7F", 10},
        {"postgres", "accounting", "Accounting 2026", "A3BB189E-8BF9-3888-9912-ACE4E6543002",
         kLatestVersion},
    };
    s.fBackups = {
        {"demo-monday", "sqlite", "demo", "6F9619FF-8B86-D011-B42D-00C04FC964FF", 0},
        {"demo-tuesday", "sqlite", "demo", "6F9619FF-8B86-D011-B42D-00C04FC964FF", 0},
        {"accounting-q1", "postgres", "accounting", "A3BB189E-8BF9-3888-9912-ACE4E6543002", 1},
    };
    s.fUsers.clear();
    s.fSessions.clear();
}

// The process's store, filled with the initial data set on first use.
inline Store& TheStore() {
    static Store* store = [] {
        Store* s = new Store;
        FillStore(*s);
        return s;
    }();
    return *store;
}

}  // namespace business
