// wh-sample: writes a realistic old Ploverix mail server database.
//
// The result is what an old server's directory held: "SMTP.MDB" (here an
// SQLite database with the old server's seven Access tables, their column
// order and Access-style types: LONG, SMALLINT, TEXT(n), MEMO, DATETIME,
// YESNO) and one message file "A%08X%08X%03X.MSG" per stored message. The
// old tables are in their original layout, before the migration's fix-ups:
// MessageBag has 13 columns (no HdrField) and UserBase 12 (no max_vpop3).
//
// The output depends only on the message count. A few rows carry faults an
// old installation really had; they are listed when the data is written.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kSchema[] = {
    "CREATE TABLE UserBase (UserName TEXT(64), IsNTAccount SMALLINT, Password TEXT(32), "
    "FullName MEMO, Forward SMALLINT, ForwardUser TEXT(64), ForwardHost TEXT(64), "
    "LastLogin DATETIME, LoginCount LONG, MaxSize LONG, MaxDay LONG, UserFlag LONG)",
    "CREATE TABLE MessageBag (MsgId1 LONG, MsgId2 LONG, MsgId3 LONG, RefCount SMALLINT, "
    "FromName TEXT(255), FromHost TEXT(255), Delivered YESNO, ReceivedAt DATETIME, "
    "Priority SMALLINT, RecipientUser TEXT(64), RecipientHost TEXT(64), Urgent YESNO, "
    "FileSize LONG)",
    "CREATE TABLE MailBox (MsgId1 LONG, MsgId2 LONG, MsgId3 LONG, UserName TEXT(64), "
    "ReceivedAt DATETIME)",
    "CREATE TABLE MailingListTitles (ListId LONG, TitleToken LONG, TitleText TEXT(64), "
    "TitlePassword TEXT(64), TitleFlag SMALLINT)",
    "CREATE TABLE SubscriberBase (TitleToken LONG, SubUser TEXT(64), SubHost TEXT(64), "
    "FailCount SMALLINT)",
    "CREATE TABLE AliasSystem (Host TEXT(64))",
    "CREATE TABLE SPAMSystem (Host TEXT(64))",
};

const char* const kFirstNames[] = {"alice", "bruno", "chen", "dora",  "emil",  "fatima",
                                   "gus",   "hanna", "ivo",  "jonas", "kemal", "lena",
                                   "marta", "nils",  "olga", "piet",  "quinn", "rosa"};
const char* const kLastNames[] = {"Adler",  "Berger", "Costa", "Dahl", "Engel",  "Fischer",
                                  "Gruber", "Horn",   "Ivers", "Jung", "Krause", "Lind"};
const char* const kHosts[] = {"wrenhub.example", "mail.plover.example", "corp.example.com",
                              "uni.example.edu", "isp.example.net"};
const char* const kSubjects[] = {"Meeting notes",      "Quarterly report", "Lunch?",
                                 "Re: server upgrade", "Invoice 4711",     "Holiday plans"};

const char* const kDomain = "wrenhub.example";

// Fixed-seed generator (splitmix64), so that every run writes the same data.
struct Random {
  uint64_t state = 0x5EED0F0ADB1995ULL;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
};

struct Options {
  const char* directory = nullptr;
  long messages = 24;
  bool messageFiles = true;
  bool force = false;
  int mailboxRows = 0;  // per message; 0: 1 to 4, chosen at random
};

void usage(FILE* out) {
  std::fprintf(out,
               "Usage: wh-sample [--messages N] [--mailbox-rows R] [--no-message-files] [--force]\n"
               "                 DIRECTORY\n"
               "Writes an old Ploverix database DIRECTORY/SMTP.MDB (SQLite) with N stored\n"
               "messages (default 24, at most 1000000), R mailbox rows per message (1 to 8;\n"
               "default 1 to 4 at random),\n"
               "users, mailing lists, aliases and spam hosts, and the message files\n"
               "A%%08X%%08X%%03X.MSG its MessageBag rows name. DIRECTORY is created when\n"
               "missing; an existing SMTP.MDB is replaced only with --force.\n");
}

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "wh-sample: %s\n", message.c_str());
  std::exit(1);
}

// Date text as Access data copied to SQLite holds it.
std::string dateText(int64_t unixSeconds) {
  int64_t days = unixSeconds / 86400, secs = unixSeconds % 86400;
  // civil from days (1970-01-01 based)
  int64_t z = days + 719468, era = z / 146097;
  int64_t doe = z - era * 146097, yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
  int64_t y = yoe + era * 400 + (m <= 2);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(y),
                static_cast<int>(m), static_cast<int>(d), static_cast<int>(secs / 3600),
                static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
  return buf;
}

class Database {
 public:
  explicit Database(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK)
      fail("cannot create " + path + ": " + sqlite3_errmsg(db_));
  }
  ~Database() { sqlite3_close(db_); }

  void exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK)
      fail(std::string("SQLite: ") + (error ? error : "error") + " in: " + sql);
  }

  // One row insert statement; values are bound in column order.
  class Insert {
   public:
    Insert(sqlite3* db, const char* sql) : db_(db) {
      if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
        fail(std::string("SQLite: ") + sqlite3_errmsg(db));
    }
    ~Insert() { sqlite3_finalize(stmt_); }
    Insert& integer(int64_t v) {
      sqlite3_bind_int64(stmt_, ++column_, v);
      return *this;
    }
    Insert& real(double v) {
      sqlite3_bind_double(stmt_, ++column_, v);
      return *this;
    }
    Insert& null() {
      sqlite3_bind_null(stmt_, ++column_);
      return *this;
    }
    Insert& text(const std::string& v) {
      sqlite3_bind_text(stmt_, ++column_, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
      return *this;
    }
    void row() {
      if (sqlite3_step(stmt_) != SQLITE_DONE) fail(std::string("SQLite: ") + sqlite3_errmsg(db_));
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
      column_ = 0;
    }

   private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    int column_ = 0;
  };

  sqlite3* handle() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

struct Message {
  int32_t id1, id2, id3;
  int64_t received;  // Unix seconds
  std::string user;
};

std::string oldMessageName(int32_t id1, int32_t id2, int32_t id3) {
  char name[64];
  std::snprintf(name, sizeof name, "A%08X%08X%03X.MSG", static_cast<uint32_t>(id1),
                static_cast<uint32_t>(id2), static_cast<uint32_t>(id3) & 0xFFFFu);
  return name;
}

std::string messageText(Random& rng, const Message& m, const std::string& from, long index) {
  std::string text = "Received: from " + std::string(kHosts[rng.below(5)]) + " by " + kDomain +
                     "\r\nFrom: " + from + "\r\nTo: " + m.user + "@" + kDomain +
                     "\r\nSubject: " + kSubjects[rng.below(6)] +
                     "\r\nDate: " + dateText(m.received) + "\r\nMessage-Id: <" +
                     std::to_string(index) + "@" + kDomain + ">\r\n\r\n";
  int lines = 2 + rng.below(20);
  for (int k = 0; k < lines; ++k)
    text += "Line " + std::to_string(k + 1) + " of a stored sample message for " + m.user + ".\r\n";
  return text;
}

void writeFile(const std::string& path, const std::string& content) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(content.data(), 1, content.size(), f) != content.size() ||
      std::fclose(f) != 0)
    fail("cannot write " + path + ": " + std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg == "--messages" && i + 1 < argc) {
      char* end = nullptr;
      opt.messages = std::strtol(argv[++i], &end, 10);
      if (!end || *end || opt.messages < 10 || opt.messages > 1000000)
        fail("--messages takes a number from 10 to 1000000");
    } else if (arg == "--mailbox-rows" && i + 1 < argc) {
      char* end = nullptr;
      long rows = std::strtol(argv[++i], &end, 10);
      if (!end || *end || rows < 1 || rows > 8) fail("--mailbox-rows takes a number from 1 to 8");
      opt.mailboxRows = static_cast<int>(rows);
    } else if (arg == "--no-message-files") {
      opt.messageFiles = false;
    } else if (arg == "--force") {
      opt.force = true;
    } else if (arg[0] != '-' && !opt.directory) {
      opt.directory = argv[i];
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (!opt.directory) {
    usage(stderr);
    return 2;
  }
  std::string dir = opt.directory;
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
    fail("cannot create directory " + dir + ": " + std::strerror(errno));
  std::string target = dir + "/SMTP.MDB", temporary = dir + "/SMTP.MDB.partial";
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && !opt.force)
    fail(target + " exists; use --force to replace it");
  std::remove(temporary.c_str());

  Random rng;
  long users = opt.messages / 4 < 8 ? 8 : opt.messages / 4;
  std::vector<std::string> userNames;
  {
    Database db(temporary);
    db.exec("PRAGMA journal_mode = OFF");
    db.exec("PRAGMA synchronous = OFF");
    for (const char* sql : kSchema) db.exec(sql);
    db.exec("BEGIN");

    // UserBase. Row 1 has a blank full name and no password; row 2 a
    // forward to a user whose name is longer than the new 64 columns.
    Database::Insert user(db.handle(), "INSERT INTO UserBase VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
    for (long u = 0; u < users; ++u) {
      std::string name = std::string(kFirstNames[u % 18]) + (u < 18 ? "" : std::to_string(u / 18));
      userNames.push_back(name);
      std::string full = std::string(kFirstNames[u % 18]) + " " + kLastNames[u % 12];
      full[0] = static_cast<char>(full[0] - 'a' + 'A');
      bool forward = u % 7 == 2;
      user.text(name).integer(u % 5 == 0 ? 1 : 0);
      if (u == 1)
        user.null();
      else
        user.text("pw" + std::to_string(rng.next() % 100000));
      user.text(u == 1 ? " \t " : full).integer(forward ? 1 : 0);
      if (forward) {
        user.text(u == 2 ? std::string(70, 'f') + "-forward-target" : name + ".home")
            .text(kHosts[u % 5]);
      } else {
        user.null().null();
      }
      user.text(dateText(946684800 + u * 3607))
          .integer(rng.below(500))
          .integer(1024 * 1024 * (1 + u % 10))
          .integer(30 + u % 60)
          .integer(u % 3)
          .row();
    }

    // MessageBag and MailBox.
    Database::Insert bag(db.handle(), "INSERT INTO MessageBag VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)");
    Database::Insert box(db.handle(), "INSERT INTO MailBox VALUES (?,?,?,?,?)");
    long mailboxRows = 0;
    for (long i = 0; i < opt.messages; ++i) {
      Message m;
      m.id1 = static_cast<int32_t>(0x35A1B2C3u + static_cast<uint32_t>(i / 4) * 37u);
      m.id2 = static_cast<int32_t>(1 + i % 4);
      m.id3 = static_cast<int32_t>(0x12 + i);
      m.received = 883612800 + i * 611 + rng.below(600);  // from 1998-01-01
      if (i == 1) m.id3 = 0x10012;                        // old name keeps the low 16 bits only
      if (i == 2) m.id1 = -1, m.id2 = static_cast<int32_t>(0x80000001u);  // high bits set
      if (i == 6) m.received = 898002816;                                 // 1998-06-16 13:13:36
      m.user = userNames[static_cast<size_t>(rng.below(static_cast<int>(users)))];
      std::string fromUser = kFirstNames[rng.below(18)], fromHost = kHosts[rng.below(5)];
      std::string content = messageText(rng, m, fromUser + "@" + fromHost, i);
      if (opt.messageFiles && i != 3)  // message 3: its file is missing
        writeFile(dir + "/" + oldMessageName(m.id1, m.id2, m.id3), content);

      bag.integer(m.id1).integer(m.id2).integer(m.id3).integer(i == 7 ? -5 : 1 + rng.below(3));
      if (i == 4)
        bag.text("   ").text("");  // blank sender
      else if (i == 5)
        bag.text("Sender-with-a-very-long-display-name-that-does-not-fit-in-sixty-four-characters")
            .text(fromHost);
      else
        bag.text(fromUser).text(fromHost);
      if (i == 8)
        bag.integer(0);  // Delivered 0, Priority 5, Urgent -1
      else
        bag.integer(rng.below(2));
      if (i == 9)
        bag.real(35962.55111111111);  // a date stored as an OLE number
      else
        bag.text(dateText(m.received));
      bag.integer(i == 8 ? 5 : rng.below(3));
      if (i == 4)
        bag.null();
      else
        bag.text(m.user);
      bag.text(kDomain)
          .integer(i == 8              ? -1
                   : rng.below(8) == 0 ? 1
                                       : 0)
          .integer(static_cast<int64_t>(content.size()))
          .row();

      int recipients = 1 + rng.below(4);
      if (opt.mailboxRows > 0) recipients = opt.mailboxRows;
      for (int r = 0; r < recipients; ++r, ++mailboxRows) {
        const std::string& who =
            r == 0 ? m.user : userNames[static_cast<size_t>(rng.below(static_cast<int>(users)))];
        box.integer(m.id1).integer(m.id2).integer(m.id3).text(who).text(dateText(m.received)).row();
      }
    }
    // A mailbox row whose message is gone.
    box.integer(0x0BADF00D)
        .integer(9)
        .integer(0x999)
        .text(userNames[0])
        .text(dateText(883612800))
        .row();
    ++mailboxRows;

    // Mailing lists and their subscribers. The title token is column 1;
    // column 0 is the old list number, which is not carried over.
    long lists = opt.messages / 20 < 3 ? 3 : opt.messages / 20;
    Database::Insert title(db.handle(), "INSERT INTO MailingListTitles VALUES (?,?,?,?,?)");
    Database::Insert subscriber(db.handle(), "INSERT INTO SubscriberBase VALUES (?,?,?,?)");
    long subscribers = 0;
    for (long l = 0; l < lists; ++l) {
      int64_t token = 1000 + l * 3;
      title.integer(100 + l)
          .integer(token)
          .text(l == 1 ? "  " : "list-" + std::to_string(l) + "-" + kSubjects[l % 6])
          .text("secret" + std::to_string(l))
          .integer(l % 4)
          .row();
      int count = 2 + rng.below(5);
      for (int s = 0; s < count; ++s, ++subscribers)
        subscriber.integer(token)
            .text(userNames[static_cast<size_t>(rng.below(static_cast<int>(users)))])
            .text(kHosts[rng.below(5)])
            .integer(l == 0 && s == 0 ? -5 : rng.below(3))
            .row();
    }

    Database::Insert alias(db.handle(), "INSERT INTO AliasSystem VALUES (?)");
    for (const char* host : {kDomain, "mail.wrenhub.example", "localhost", "   "})
      alias.text(host).row();
    Database::Insert spam(db.handle(), "INSERT INTO SPAMSystem VALUES (?)");
    for (const char* host :
         {"spam.example.net", "bulk-mailer.example.org",
          "a-very-long-spam-host-name.subdomain.of.an.unwanted.mass-mailing.example.com"})
      spam.text(host).row();

    db.exec("COMMIT");
    std::printf(
        "wh-sample: wrote %s: %ld users, %ld messages, %ld mailbox rows, "
        "%ld mailing lists, %ld subscribers, 4 aliases, 3 spam hosts%s\n",
        target.c_str(), users, opt.messages, mailboxRows, lists, subscribers,
        opt.messageFiles ? ", and the message files" : " (no message files)");
  }
  if (std::rename(temporary.c_str(), target.c_str()) != 0)
    fail("cannot rename " + temporary + " to " + target + ": " + std::strerror(errno));
  std::printf(
      "Deliberate faults (messages counted from 0):\n"
      "  message 1: third id 00010012, its old file name keeps only the low 16 bits\n"
      "  message 2: ids with the high bit set (FFFFFFFF, 80000001)\n"
      "  message 3: no message file (%s)\n"
      "  message 4: blank sender name, empty sender host, no recipient user\n"
      "  message 5: a sender name of 79 characters (the new column holds 64)\n"
      "  message 6: received 1998-06-16 13:13:36; message 9: the date as an OLE number\n"
      "  message 7: reference count -5 (16-bit); message 8: flags 0, 5 and -1\n"
      "  a mailbox row for the missing message 0BADF00D/00000009/999\n"
      "  user 1: blank full name, no password; user 2: a forward user of 85 characters\n"
      "  mailing list 1: blank title; its first subscriber: fail count -5; a blank alias\n",
      oldMessageName(static_cast<int32_t>(0x35A1B2C3u), 4, 0x15).c_str());
  return 0;
}
