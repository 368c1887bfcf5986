// The registry store on SQLite: keys and typed values in one database file that every process on the host shares.
//
// Layout: table `keys` (id, parent, name as written, folded name) and table `vals` (key, name as written, folded
// name, type, bytes). Names are looked up by their folded form, so "Services" and "SERVICES" are one key, while
// enumeration returns the spelling the key or value was created with. Key 1 is HKEY_LOCAL_MACHINE itself.
//
// Durability: a rollback journal (never WAL: the tray reads the store through a read-only file, and WAL readers
// need write access to the shared-memory file) with synchronous=FULL, and every change is one transaction, so a
// process killed at any instant leaves either the old or the new state. Writers in separate processes serialize on
// the database lock; the busy timeout makes them wait instead of failing.
#include "platform/Registry.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/Paths.h"

namespace kestrix::platform {

/// What a handle stands for: one key of one store file, and the rights it was opened with.
struct RegKey {
  int64_t id = 0;
  uint32_t access = 0;
  std::string store;
};

const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t{0x80000002});

namespace {

constexpr int64_t kRootKeyId = 1;
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

// Access rights beyond the KEY_* ones the header names; the values are the documented Windows ones.
constexpr uint32_t kKeyCreateLink = 0x0020;
constexpr uint32_t kKeyWow64Mask = 0x0300;
constexpr uint32_t kDelete = 0x00010000;
constexpr uint32_t kWriteDac = 0x00040000;
constexpr uint32_t kWriteOwner = 0x00080000;
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | kKeyCreateLink | kDelete | kWriteDac | kWriteOwner;

bool Privileged() { return ::geteuid() == 0; }

/// Maps generic and maximum rights onto key rights; unprivileged processes get no write right at all.
uint32_t GrantAccess(uint32_t samDesired, uint32_t* granted) {
  uint32_t mask = samDesired & ~kKeyWow64Mask;
  if (mask & kGenericRead) mask |= KEY_READ;
  if (mask & kGenericExecute) mask |= KEY_READ;
  if (mask & kGenericWrite) mask |= KEY_WRITE;
  if (mask & kGenericAll) mask |= KEY_ALL_ACCESS;
  if (mask & kMaximumAllowed) mask |= Privileged() ? KEY_ALL_ACCESS : KEY_READ;
  mask &= ~(kGenericRead | kGenericExecute | kGenericWrite | kGenericAll | kMaximumAllowed);
  if ((mask & kWriteRights) != 0 && !Privileged()) {
    return ERROR_ACCESS_DENIED;
  }
  *granted = mask;
  return ERROR_SUCCESS;
}

/// Upper-cases ASCII and Latin-1 letters, as the registry compares names.
std::u16string Fold(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) {
    if (c >= u'a' && c <= u'z') {
      c = static_cast<char16_t>(c - 0x20);
    } else if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
      c = static_cast<char16_t>(c - 0x20);
    } else if (c == 0xFF) {
      c = 0x178;
    }
  }
  return out;
}

std::string FoldKey(std::u16string_view name) { return ToUtf8(Fold(name)); }

uint32_t Win32FromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
    case SQLITE_NOTADB: return ERROR_BADDB;
    case SQLITE_CORRUPT: return ERROR_REGISTRY_CORRUPT;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_TOOBIG: return ERROR_INVALID_PARAMETER;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

/// Prepared statements kept per connection, by their SQL text: compiling a statement costs more than running
/// one of these. Used only under the store's mutex. A statement in use is marked, so a second use of the same
/// text at the same time gets a statement of its own.
struct CachedStatement {
  sqlite3_stmt* stmt = nullptr;
  bool inUse = false;
};
std::map<std::pair<sqlite3*, std::string>, CachedStatement>& StatementCache() {
  static auto* cache = new std::map<std::pair<sqlite3*, std::string>, CachedStatement>;
  return *cache;
}

struct DbCloser {
  void operator()(sqlite3* db) const {
    auto& cache = StatementCache();
    for (auto it = cache.begin(); it != cache.end();) {
      if (it->first.first == db) {
        sqlite3_finalize(it->second.stmt);
        it = cache.erase(it);
      } else {
        ++it;
      }
    }
    sqlite3_close_v2(db);
  }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;

/// One prepared statement; the first failure (prepare or bind) is kept and returned by Step.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) {
    auto& cache = StatementCache();
    auto it = cache.find({db, sql});
    if (it != cache.end() && !it->second.inUse) {
      m_cached = &it->second;
    } else if (it == cache.end()) {
      sqlite3_stmt* stmt = nullptr;
      m_rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
      if (m_rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return;
      }
      m_cached = &cache[{db, sql}];
      m_cached->stmt = stmt;
    }
    if (m_cached != nullptr) {
      m_cached->inUse = true;
      m_stmt = m_cached->stmt;
      m_rc = SQLITE_OK;
    } else {
      m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr);
    }
  }
  ~Stmt() {
    if (m_cached != nullptr) {
      sqlite3_reset(m_stmt);
      sqlite3_clear_bindings(m_stmt);
      m_cached->inUse = false;
    } else {
      sqlite3_finalize(m_stmt);
    }
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& Int(int i, int64_t v) { return Keep(m_rc == SQLITE_OK ? sqlite3_bind_int64(m_stmt, i, v) : m_rc); }
  Stmt& Text(int i, const std::string& v) {
    return Keep(m_rc == SQLITE_OK ? sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT)
                                  : m_rc);
  }
  Stmt& Blob(int i, const uint8_t* data, uint32_t size) {
    // A null pointer would bind SQL NULL; a zero-length value must stay a zero-length blob.
    static const uint8_t kEmpty = 0;
    if (m_rc != SQLITE_OK) return *this;
    if (size > static_cast<uint32_t>(INT32_MAX)) return Keep(SQLITE_TOOBIG);
    return Keep(sqlite3_bind_blob(m_stmt, i, size == 0 ? &kEmpty : data, static_cast<int>(size), SQLITE_TRANSIENT));
  }
  /// SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return m_rc != SQLITE_OK ? m_rc : sqlite3_step(m_stmt); }

  int64_t ColInt(int i) const { return sqlite3_column_int64(m_stmt, i); }
  std::string ColText(int i) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, i));
    return p == nullptr ? std::string() : std::string(p, static_cast<size_t>(sqlite3_column_bytes(m_stmt, i)));
  }
  std::vector<uint8_t> ColBlob(int i) const {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(m_stmt, i));
    const int n = sqlite3_column_bytes(m_stmt, i);
    return p == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(p, p + n);
  }

 private:
  Stmt& Keep(int rc) {
    m_rc = rc;
    return *this;
  }
  sqlite3_stmt* m_stmt = nullptr;
  CachedStatement* m_cached = nullptr;
  int m_rc = SQLITE_OK;
};

/// Runs SQL text (one or more statements) that returns no rows; returns an SQLite code.
int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

/// Runs one statement that returns no rows through the statement cache; returns an SQLite code.
int Run(sqlite3* db, const char* sql) {
  Stmt stmt(db, sql);
  const int rc = stmt.Step();
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

/// A transaction that rolls back unless committed. Writers begin IMMEDIATE so that two writers wait on the
/// database lock rather than both reading and then failing to upgrade.
class Txn {
 public:
  explicit Txn(sqlite3* db) : m_db(db) {}
  ~Txn() {
    if (m_open) Run(m_db, "ROLLBACK");
  }
  Txn(const Txn&) = delete;
  Txn& operator=(const Txn&) = delete;

  uint32_t Begin(bool write) {
    const int rc = Run(m_db, write ? "BEGIN IMMEDIATE" : "BEGIN");
    m_open = rc == SQLITE_OK;
    return Win32FromSqlite(rc);
  }
  uint32_t Commit() {
    const int rc = Run(m_db, "COMMIT");
    if (rc == SQLITE_OK) m_open = false;
    return Win32FromSqlite(rc);
  }

 private:
  sqlite3* m_db;
  bool m_open = false;
};

/// Splits a key path at '\'; leading and trailing separators are ignored, an empty name inside is refused.
uint32_t SplitPath(const char16_t* path, std::vector<std::u16string>* parts) {
  parts->clear();
  if (path == nullptr) return ERROR_SUCCESS;
  std::u16string_view p(path);
  while (!p.empty() && p.front() == u'\\') p.remove_prefix(1);
  while (!p.empty() && p.back() == u'\\') p.remove_suffix(1);
  while (!p.empty()) {
    const size_t sep = p.find(u'\\');
    const std::u16string_view part = p.substr(0, sep);
    if (part.empty() || part.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
    parts->emplace_back(part);
    if (sep == std::u16string_view::npos) break;
    p.remove_prefix(sep + 1);
  }
  return ERROR_SUCCESS;
}

uint32_t ValueName(const char16_t* name, std::u16string* out) {
  *out = name == nullptr ? std::u16string() : std::u16string(name);
  return out->size() > kMaxValueNameChars ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

/// Adds a key below `parent` inside the caller's transaction.
uint32_t InsertKey(sqlite3* db, int64_t parent, std::u16string_view name, int64_t* id) {
  Stmt s(db, "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
  s.Int(1, parent).Text(2, ToUtf8(name)).Text(3, FoldKey(name));
  const int rc = s.Step();
  if (rc != SQLITE_DONE) return Win32FromSqlite(rc);
  *id = sqlite3_last_insert_rowid(db);
  return ERROR_SUCCESS;
}

uint32_t InsertValue(sqlite3* db, int64_t key, std::u16string_view name, uint32_t type, const uint8_t* data,
                     uint32_t size) {
  // An existing value keeps the spelling of its name; only type and bytes change.
  Stmt s(db,
         "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
         "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
  s.Int(1, key).Text(2, ToUtf8(name)).Text(3, FoldKey(name)).Int(4, type).Blob(5, data, size);
  const int rc = s.Step();
  return rc == SQLITE_DONE ? ERROR_SUCCESS : Win32FromSqlite(rc);
}

/// Schema and the tree a freshly installed system has. Runs inside the creating transaction.
uint32_t CreateBaseTree(sqlite3* db) {
  static const char* const kSchema =
      "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL, name TEXT NOT NULL, "
      "fold TEXT NOT NULL);"
      "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, fold);"
      "CREATE TABLE vals(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL, type INTEGER NOT NULL, "
      "data BLOB NOT NULL, PRIMARY KEY(key, fold)) WITHOUT ROWID;"
      "INSERT INTO keys(id, parent, name, fold) VALUES(1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE');";
  int rc = Exec(db, kSchema);
  if (rc != SQLITE_OK) return Win32FromSqlite(rc);

  int64_t system = 0, ccs = 0, control = 0, sessionManager = 0, services = 0, software = 0;
  uint32_t err = InsertKey(db, kRootKeyId, u"SOFTWARE", &software);
  if (err == ERROR_SUCCESS) err = InsertKey(db, kRootKeyId, u"SYSTEM", &system);
  if (err == ERROR_SUCCESS) err = InsertKey(db, system, u"CurrentControlSet", &ccs);
  if (err == ERROR_SUCCESS) err = InsertKey(db, ccs, u"Control", &control);
  if (err == ERROR_SUCCESS) err = InsertKey(db, control, u"Session Manager", &sessionManager);
  if (err == ERROR_SUCCESS) err = InsertKey(db, ccs, u"Services", &services);
  if (err != ERROR_SUCCESS) return err;

  // BootExecute as Windows ships it: one string and the empty string that ends the list.
  static const char16_t kBootExecute[] = u"autocheck autochk *\0";
  err = InsertValue(db, sessionManager, u"BootExecute", REG_MULTI_SZ, reinterpret_cast<const uint8_t*>(kBootExecute),
                    sizeof kBootExecute);
  if (err != ERROR_SUCCESS) return err;
  rc = Exec(db, "PRAGMA user_version = 1");
  return Win32FromSqlite(rc);
}

uint32_t ReadSchemaVersion(sqlite3* db, int* version) {
  Stmt s(db, "PRAGMA user_version");
  const int rc = s.Step();
  if (rc != SQLITE_ROW) return Win32FromSqlite(rc);
  *version = static_cast<int>(s.ColInt(0));
  return ERROR_SUCCESS;
}

/// Opens the store file; a privileged process creates it (directories, schema, base tree) when missing.
uint32_t OpenStore(const std::string& path, bool privileged, DbPtr* out) {
  if (!privileged) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Win32FromErrno(errno);
  } else {
    const std::filesystem::path dir = std::filesystem::path(path).parent_path();
    for (const auto& d : {dir.parent_path().parent_path(), dir.parent_path(), dir}) {
      const uint32_t err = EnsureDirectory(d, 0755);
      if (err != ERROR_SUCCESS) return err;
    }
  }
  sqlite3* raw = nullptr;
  const int flags = privileged ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  DbPtr db(raw);
  if (rc != SQLITE_OK) {
    const int sysErr = raw != nullptr ? sqlite3_system_errno(raw) : 0;
    return sysErr == EACCES || sysErr == EPERM ? ERROR_ACCESS_DENIED : Win32FromSqlite(rc);
  }
  sqlite3_extended_result_codes(db.get(), 1);
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  if (privileged) {
    rc = Exec(db.get(), "PRAGMA journal_mode = DELETE; PRAGMA synchronous = FULL;");
    if (rc != SQLITE_OK) return Win32FromSqlite(rc);
    // Readers run without privilege: the file must be readable by all whatever the creator's umask.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 0777) != 0644) {
      ::chmod(path.c_str(), 0644);
    }
  }
  int version = 0;
  uint32_t err = ReadSchemaVersion(db.get(), &version);
  if (err != ERROR_SUCCESS) return err;
  if (version == 0) {
    // Not made yet (or its making was cut short and rolled back): only the privileged may make it.
    if (!privileged) return ERROR_FILE_NOT_FOUND;
    Txn txn(db.get());
    if ((err = txn.Begin(true)) != ERROR_SUCCESS) return err;
    if ((err = ReadSchemaVersion(db.get(), &version)) != ERROR_SUCCESS) return err;
    if (version == 0) {
      if ((err = CreateBaseTree(db.get())) != ERROR_SUCCESS) return err;
      version = kSchemaVersion;
    }
    if ((err = txn.Commit()) != ERROR_SUCCESS) return err;
  }
  if (version != kSchemaVersion) return ERROR_BADDB;
  *out = std::move(db);
  return ERROR_SUCCESS;
}

/// The process's one connection, for the store file the root names now; reopened when the root moves.
struct Store {
  std::mutex mutex;
  DbPtr db;
  std::string path;
  bool privileged = false;
  std::unordered_set<const RegKey*> handles;
};

Store& TheStore() {
  static Store* store = new Store;  // never destroyed: handles may be closed from static destructors
  return *store;
}

/// Exclusive use of the connection for one operation, with the caller's handle resolved.
class Session {
 public:
  Session() : m_store(TheStore()), m_lock(m_store.mutex) {}

  /// Connects (opening or creating the store as needed). Returns a Win32 error number.
  uint32_t Connect() {
    const std::string path = RegistryFile().string();
    const bool privileged = Privileged();
    if (m_store.db && m_store.path == path && m_store.privileged == privileged) return ERROR_SUCCESS;
    m_store.db.reset();
    const uint32_t err = OpenStore(path, privileged, &m_store.db);
    if (err != ERROR_SUCCESS) return err;
    m_store.path = path;
    m_store.privileged = privileged;
    return ERROR_SUCCESS;
  }

  /// Connects and resolves `key` to its id and rights.
  uint32_t Attach(HKEY key, int64_t* id, uint32_t* access) {
    if (key == HKEY_LOCAL_MACHINE) {
      *id = kRootKeyId;
      *access = Privileged() ? KEY_ALL_ACCESS : KEY_READ;
      return Connect();
    }
    if (key == nullptr || m_store.handles.count(key) == 0) return ERROR_INVALID_HANDLE;
    const uint32_t err = Connect();
    if (err != ERROR_SUCCESS) return err;
    if (key->store != m_store.path) return ERROR_INVALID_HANDLE;
    *id = key->id;
    *access = key->access;
    return ERROR_SUCCESS;
  }

  sqlite3* Db() const { return m_store.db.get(); }

  HKEY NewHandle(int64_t id, uint32_t access) {
    auto* key = new RegKey{id, access, m_store.path};
    m_store.handles.insert(key);
    return key;
  }

  uint32_t Close(HKEY key) {
    if (m_store.handles.erase(key) == 0) return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
  }

 private:
  Store& m_store;
  std::lock_guard<std::mutex> m_lock;
};

/// ERROR_SUCCESS when the key still exists, ERROR_KEY_DELETED when another handle or process removed it.
uint32_t KeyAlive(sqlite3* db, int64_t id) {
  Stmt s(db, "SELECT 1 FROM keys WHERE id = ?1");
  s.Int(1, id);
  const int rc = s.Step();
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  return rc == SQLITE_DONE ? ERROR_KEY_DELETED : Win32FromSqlite(rc);
}

/// One operation on an open key: the handle resolved, its rights checked, and a transaction in which the key
/// still exists. The transaction ends (rolled back unless committed) before the session lets the store go.
class KeyOperation {
 public:
  uint32_t Begin(HKEY key, uint32_t needed, bool write) {
    uint32_t access = 0;
    uint32_t err = m_session.Attach(key, &m_id, &access);
    if (err != ERROR_SUCCESS) return err;
    if ((access & needed) == 0) return ERROR_ACCESS_DENIED;
    m_txn.emplace(m_session.Db());
    if ((err = m_txn->Begin(write)) != ERROR_SUCCESS) return err;
    return KeyAlive(m_session.Db(), m_id);
  }
  sqlite3* Db() const { return m_session.Db(); }
  int64_t Id() const { return m_id; }
  uint32_t Commit() { return m_txn->Commit(); }

 private:
  Session m_session;
  std::optional<Txn> m_txn;
  int64_t m_id = 0;
};

/// Finds the child of `parent` with the given name; ERROR_FILE_NOT_FOUND when there is none.
uint32_t FindChild(sqlite3* db, int64_t parent, std::u16string_view name, int64_t* id) {
  Stmt s(db, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
  s.Int(1, parent).Text(2, FoldKey(name));
  const int rc = s.Step();
  if (rc == SQLITE_ROW) {
    *id = s.ColInt(0);
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : Win32FromSqlite(rc);
}

uint32_t FindPath(sqlite3* db, int64_t start, const std::vector<std::u16string>& parts, int64_t* id, int64_t* parent) {
  int64_t cur = start;
  *parent = 0;
  for (const auto& part : parts) {
    *parent = cur;
    const uint32_t err = FindChild(db, cur, part, &cur);
    if (err != ERROR_SUCCESS) return err;
  }
  *id = cur;
  return ERROR_SUCCESS;
}

}  // namespace

uint32_t RegOpenKeyExW(HKEY parent, const char16_t* subKey, uint32_t /*options*/, uint32_t samDesired, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::u16string> parts;
  uint32_t err = SplitPath(subKey, &parts);
  if (err != ERROR_SUCCESS) return err;
  Session session;
  int64_t start = 0, id = 0, up = 0;
  uint32_t parentAccess = 0;
  if ((err = session.Attach(parent, &start, &parentAccess)) != ERROR_SUCCESS) return err;
  Txn txn(session.Db());
  if ((err = txn.Begin(false)) != ERROR_SUCCESS) return err;
  if ((err = KeyAlive(session.Db(), start)) != ERROR_SUCCESS) return err;
  if ((err = FindPath(session.Db(), start, parts, &id, &up)) != ERROR_SUCCESS) return err;
  if ((err = txn.Commit()) != ERROR_SUCCESS) return err;
  uint32_t access = 0;
  if ((err = GrantAccess(samDesired, &access)) != ERROR_SUCCESS) return err;
  *result = session.NewHandle(id, access);
  return ERROR_SUCCESS;
}

uint32_t RegCreateKeyExW(HKEY parent, const char16_t* subKey, uint32_t samDesired, HKEY* result,
                         uint32_t* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::u16string> parts;
  uint32_t err = SplitPath(subKey, &parts);
  if (err != ERROR_SUCCESS) return err;
  uint32_t access = 0;
  if (!Privileged()) return ERROR_ACCESS_DENIED;
  if ((err = GrantAccess(samDesired, &access)) != ERROR_SUCCESS) return err;
  Session session;
  int64_t cur = 0;
  uint32_t parentAccess = 0;
  if ((err = session.Attach(parent, &cur, &parentAccess)) != ERROR_SUCCESS) return err;
  sqlite3* db = session.Db();
  Txn txn(db);
  if ((err = txn.Begin(true)) != ERROR_SUCCESS) return err;
  if ((err = KeyAlive(db, cur)) != ERROR_SUCCESS) return err;
  bool created = false;
  for (const auto& part : parts) {
    int64_t next = 0;
    err = FindChild(db, cur, part, &next);
    if (err == ERROR_FILE_NOT_FOUND) {
      // The root holds only the hives; a new key needs the right to add sub-keys to the key it starts from.
      if (cur == kRootKeyId || (parentAccess & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
      err = InsertKey(db, cur, part, &next);
      created = true;
    }
    if (err != ERROR_SUCCESS) return err;
    cur = next;
  }
  if ((err = txn.Commit()) != ERROR_SUCCESS) return err;
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = session.NewHandle(cur, access);
  return ERROR_SUCCESS;
}

uint32_t RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  Session session;
  return session.Close(key);
}

uint32_t RegQueryValueExW(HKEY key, const char16_t* valueName, uint32_t* type, uint8_t* data, uint32_t* cbData) {
  if (data != nullptr && cbData == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string name;
  uint32_t err = ValueName(valueName, &name);
  if (err != ERROR_SUCCESS) return err;
  KeyOperation op;
  if ((err = op.Begin(key, KEY_QUERY_VALUE, false)) != ERROR_SUCCESS) return err;
  Stmt s(op.Db(), "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
  s.Int(1, op.Id()).Text(2, FoldKey(name));
  const int rc = s.Step();
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return Win32FromSqlite(rc);
  const auto storedType = static_cast<uint32_t>(s.ColInt(0));
  const std::vector<uint8_t> bytes = s.ColBlob(1);
  const auto size = static_cast<uint32_t>(bytes.size());
  if (type != nullptr) *type = storedType;
  if (data == nullptr) {
    if (cbData != nullptr) *cbData = size;
    return ERROR_SUCCESS;
  }
  if (*cbData < size) {
    *cbData = size;
    return ERROR_MORE_DATA;
  }
  if (size != 0) std::memcpy(data, bytes.data(), size);
  *cbData = size;
  return ERROR_SUCCESS;
}

uint32_t RegSetValueExW(HKEY key, const char16_t* valueName, uint32_t type, const uint8_t* data, uint32_t cbData) {
  if (data == nullptr && cbData != 0) return ERROR_NOACCESS;
  std::u16string name;
  uint32_t err = ValueName(valueName, &name);
  if (err != ERROR_SUCCESS) return err;
  KeyOperation op;
  if ((err = op.Begin(key, KEY_SET_VALUE, true)) != ERROR_SUCCESS) return err;
  if ((err = InsertValue(op.Db(), op.Id(), name, type, data, cbData)) != ERROR_SUCCESS) return err;
  return op.Commit();
}

uint32_t RegDeleteValueW(HKEY key, const char16_t* valueName) {
  std::u16string name;
  uint32_t err = ValueName(valueName, &name);
  if (err != ERROR_SUCCESS) return err;
  {
    // Most deletions find nothing (the service clears values that are usually absent): a read settles those
    // without taking the store's write lock.
    KeyOperation look;
    if ((err = look.Begin(key, KEY_SET_VALUE, false)) != ERROR_SUCCESS) return err;
    Stmt s(look.Db(), "SELECT 1 FROM vals WHERE key = ?1 AND fold = ?2");
    s.Int(1, look.Id()).Text(2, FoldKey(name));
    const int rc = s.Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return Win32FromSqlite(rc);
  }
  KeyOperation op;
  if ((err = op.Begin(key, KEY_SET_VALUE, true)) != ERROR_SUCCESS) return err;
  Stmt s(op.Db(), "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
  s.Int(1, op.Id()).Text(2, FoldKey(name));
  const int rc = s.Step();
  if (rc != SQLITE_DONE) return Win32FromSqlite(rc);
  if (sqlite3_changes(op.Db()) == 0) return ERROR_FILE_NOT_FOUND;
  return op.Commit();
}

uint32_t RegDeleteKeyW(HKEY parent, const char16_t* subKey) {
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<std::u16string> parts;
  uint32_t err = SplitPath(subKey, &parts);
  if (err != ERROR_SUCCESS) return err;
  if (!Privileged()) return ERROR_ACCESS_DENIED;
  Session session;
  int64_t start = 0, id = 0, up = 0;
  uint32_t access = 0;
  if ((err = session.Attach(parent, &start, &access)) != ERROR_SUCCESS) return err;
  sqlite3* db = session.Db();
  Txn txn(db);
  if ((err = txn.Begin(true)) != ERROR_SUCCESS) return err;
  if ((err = KeyAlive(db, start)) != ERROR_SUCCESS) return err;
  if ((err = FindPath(db, start, parts, &id, &up)) != ERROR_SUCCESS) return err;
  if (parts.empty()) {
    // An empty path names the handle's own key.
    Stmt p(db, "SELECT parent FROM keys WHERE id = ?1");
    p.Int(1, id);
    const int rc = p.Step();
    if (rc != SQLITE_ROW) return Win32FromSqlite(rc);
    up = p.ColInt(0);
  }
  // The root and the hives below it stay.
  if (id == kRootKeyId || up == kRootKeyId) return ERROR_ACCESS_DENIED;
  {
    Stmt c(db, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
    c.Int(1, id);
    const int rc = c.Step();
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return Win32FromSqlite(rc);
  }
  for (const char* sql : {"DELETE FROM vals WHERE key = ?1", "DELETE FROM keys WHERE id = ?1"}) {
    Stmt d(db, sql);
    d.Int(1, id);
    const int rc = d.Step();
    if (rc != SQLITE_DONE) return Win32FromSqlite(rc);
  }
  return txn.Commit();
}

uint32_t RegEnumKeyExW(HKEY key, uint32_t index, std::u16string* name) {
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  KeyOperation op;
  if (const uint32_t err = op.Begin(key, KEY_ENUMERATE_SUB_KEYS, false); err != ERROR_SUCCESS) return err;
  Stmt s(op.Db(), "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
  s.Int(1, op.Id()).Int(2, index);
  const int rc = s.Step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return Win32FromSqlite(rc);
  *name = FromUtf8(s.ColText(0));
  return ERROR_SUCCESS;
}

uint32_t RegEnumValueW(HKEY key, uint32_t index, std::u16string* name, uint32_t* type, std::vector<uint8_t>* data) {
  KeyOperation op;
  if (const uint32_t err = op.Begin(key, KEY_QUERY_VALUE, false); err != ERROR_SUCCESS) return err;
  Stmt s(op.Db(), "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
  s.Int(1, op.Id()).Int(2, index);
  const int rc = s.Step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return Win32FromSqlite(rc);
  if (name != nullptr) *name = FromUtf8(s.ColText(0));
  if (type != nullptr) *type = static_cast<uint32_t>(s.ColInt(1));
  if (data != nullptr) *data = s.ColBlob(2);
  return ERROR_SUCCESS;
}

}  // namespace kestrix::platform
