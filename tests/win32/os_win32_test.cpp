// Win32 tests of the engine's operating-system layer, run under Wine (or on
// Windows) by tests/win32/run-wine-tests.sh. They drive the engine through its
// public calls (file4..., table4...) so that what is checked is what the
// engine gets from os_win32.cpp: files and positions, share modes, byte-range
// locks between two handles of one process and between two processes (the
// program starts itself again as the other one), temporary names, renaming
// without replacing, full names, and whole tables written and read back.
//
// A plain program (no test framework is cross-built here): each case runs in
// a fresh scratch directory made the current directory; the last line is
// "N passed, M failed" and the exit status is non-zero when anything failed.
//   os_win32_test.exe [PART-OF-NAME]
//   os_win32_test.exe --hold NAME MODE READY-EVENT GO-EVENT   (the other process)
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "dbf/core/context.h"
#include "dbf/core/file.h"
#include "dbf/core/os.h"
#include "dbf/core/table.h"

namespace {

// --- a small check harness ---

int g_caseFailures = 0;

void fail(int line, const std::string& what) {
  g_caseFailures++;
  printf("    line %d: %s\n", line, what.c_str());
}

std::string show(long long v) { return std::to_string(v); }
std::string show(const std::string& s) { return "\"" + s + "\""; }

template <typename A, typename B>
void checkEq(const A& a, const B& b, const char* as, const char* bs, int line) {
  if (a == b) return;
  fail(line, std::string(as) + " == " + bs + ": got " + show(a) + ", expected " + show(b));
}

#define CHECK(cond) ((cond) ? (void)0 : fail(__LINE__, std::string("CHECK(") + #cond + ")"))
#define CHECK_EQ(a, b) \
  checkEq(static_cast<long long>(a), static_cast<long long>(b), #a, #b, __LINE__)
#define CHECK_STR(a, b) checkEq(std::string(a), std::string(b), #a, #b, __LINE__)
// Stops the case when a precondition fails (the rest would only add noise).
#define REQUIRE_EQ(a, b)                   \
  do {                                     \
    int before_ = g_caseFailures;          \
    CHECK_EQ(a, b);                        \
    if (g_caseFailures != before_) return; \
  } while (0)

// --- helpers ---

// An initialised engine context, released when it goes out of scope.
struct Context : EngineContext {
  Context() : EngineContext{} {
    engine4init(this, nullptr, kEngineVersion);
    reportOpenErrors = 0;
    reportCreateErrors = 0;
    lockAttempts = 1;
    lockRetryDelay = 2;  // 20 ms
  }
  ~Context() { engine4free(this); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
};

std::string currentDirectory() {
  char buf[MAX_PATH];
  DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
  return std::string(buf, n);
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return s;
}

void writeWhole(const char* name, const std::string& bytes) {
  HANDLE h =
      CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD put = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  CloseHandle(h);
}

std::string readWhole(const char* name) {
  HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out;
  char buf[4096];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  CloseHandle(h);
  return out;
}

bool exists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

// The name a directory entry has on disk (its case as created).
std::string nameOnDisk(const char* pattern) {
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA(pattern, &found);
  if (h == INVALID_HANDLE_VALUE) return "<none>";
  FindClose(h);
  return found.cFileName;
}

// Deletes a directory tree (read-only attributes included).
void removeTree(const std::string& dir) {
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string leaf = found.cFileName;
      if (leaf == "." || leaf == "..") continue;
      std::string path = dir + "\\" + leaf;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(path);
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(h, &found));
    FindClose(h);
  }
  RemoveDirectoryA(dir.c_str());
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Sets an environment variable for the length of a scope (null: unset).
class EnvSetting {
 public:
  EnvSetting(const char* name, const char* value) : name_(name) {
    char buf[MAX_PATH];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    had_ = n > 0 && n < sizeof buf;
    if (had_) old_.assign(buf, n);
    SetEnvironmentVariableA(name, value);
  }
  ~EnvSetting() { SetEnvironmentVariableA(name_, had_ ? old_.c_str() : nullptr); }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

// Counts the lock calls that reach the system.
std::atomic<int> g_lockCalls{0};
OsStatus countingLock(int64_t handle, int64_t pos, int64_t len) {
  g_lockCalls++;
  return os4platform()->lock(handle, pos, len);
}

constexpr int64_t kRecord5Fox = 0x7FFFFFFE - 5;

// --- files ---

void filesRoundTrip() {
  Context c;
  DiskFile f;
  REQUIRE_EQ(file4create(&f, &c, "DATA.BIN", false), 0);
  CHECK_EQ(file4length(&f), 0);
  CHECK_EQ(file4write(&f, 0, "0123456789", 10), 0);
  CHECK_EQ(file4write(&f, 5000, "tail", 4), 0);
  CHECK_EQ(file4length(&f), 5004);
  char buf[64] = {};
  CHECK_EQ(file4read(&f, 3, buf, 4), 4);
  CHECK_STR(std::string(buf, 4), "3456");
  CHECK_EQ(file4read(&f, 100, buf, 1), 1);
  CHECK_EQ(buf[0], 0);  // the gap reads as zeros
  // Reading past the end: what is there, then nothing, and -70 for readAll.
  CHECK_EQ(file4read(&f, 5002, buf, 10), 2);
  CHECK_EQ(file4read(&f, 9000, buf, 10), 0);
  CHECK_EQ(c.errorCode, 0);
  CHECK_EQ(file4readAll(&f, 5002, buf, 10), -70);
  engine4errorSet(&c, 0);
  CHECK_EQ(file4setLength(&f, 7), 0);
  CHECK_EQ(file4length(&f), 7);
  CHECK_EQ(file4setLength(&f, 70000), 0);
  CHECK_EQ(file4length(&f), 70000);
  CHECK_EQ(file4read(&f, 69990, buf, 10), 10);
  CHECK_EQ(file4flush(&f), 0);
  CHECK_EQ(file4close(&f), 0);
  CHECK_EQ(f.handle, -1);

  REQUIRE_EQ(file4open(&f, &c, "data.bin", false), 0);  // names ignore case
  CHECK(!f.readOnly);
  CHECK_EQ(file4readAll(&f, 0, buf, 7), 0);
  CHECK_STR(std::string(buf, 7), "0123456");
  CHECK_EQ(file4close(&f), 0);
}

// Positions and lengths above 4 GiB travel in both halves of the offset.
void filesBeyondFourGiB() {
  Context c;
  DiskFile f;
  REQUIRE_EQ(file4create(&f, &c, "BIG.BIN", false), 0);
  const int64_t beyond = (int64_t{1} << 32) + 16;
  CHECK_EQ(file4write(&f, 16, "low!", 4), 0);
  CHECK_EQ(file4write(&f, beyond, "high", 4), 0);
  CHECK_EQ(file4length(&f), beyond + 4);
  char buf[4] = {};
  CHECK_EQ(file4readAll(&f, beyond, buf, 4), 0);
  CHECK_STR(std::string(buf, 4), "high");
  CHECK_EQ(file4readAll(&f, 16, buf, 4), 0);
  CHECK_STR(std::string(buf, 4), "low!");
  CHECK_EQ(file4setLength(&f, beyond + 1), 0);
  CHECK_EQ(file4length(&f), beyond + 1);
  CHECK_EQ(file4setLength(&f, 0), 0);
  CHECK_EQ(file4length(&f), 0);
  CHECK_EQ(file4close(&f), 0);
}

void openFailures() {
  Context c;
  DiskFile f;
  CHECK_EQ(file4open(&f, &c, "MISSING.DBF", false), 70);
  CHECK_EQ(c.errorCode, 70);
  CHECK_EQ(f.handle, -1);
  c.reportOpenErrors = 1;
  engine4errorSet(&c, 0);
  CHECK_EQ(file4open(&f, &c, "MISSING.DBF", false), -64);
  engine4errorSet(&c, 0);
  CHECK_EQ(file4open(&f, &c, "NODIR\\X.DBF", false), -64);
  engine4errorSet(&c, 0);
  CreateDirectoryA("ADIR", nullptr);
  CHECK_EQ(file4open(&f, &c, "ADIR", false), -61);  // a directory is no engine file
  engine4errorSet(&c, 0);
  writeWhole("ONE.DBF", "x");
  c.shareMode = 3;
  CHECK_EQ(file4open(&f, &c, "ONE.DBF", false), -60);
  engine4errorSet(&c, 0);
  c.shareMode = 0;
  CHECK_EQ(file4open(&f, &c, "NUL", false), -61);  // devices are refused too
  engine4errorSet(&c, 0);
}

void createOverExisting() {
  Context c;
  DiskFile f;
  writeWhole("OLD.DBF", "keep me");
  CHECK_EQ(file4create(&f, &c, "OLD.DBF", false), 60);  // refuseOverwrite is on
  CHECK_STR(readWhole("OLD.DBF"), "keep me");
  engine4errorSet(&c, 0);
  c.reportCreateErrors = 1;
  CHECK_EQ(file4create(&f, &c, "OLD.DBF", false), -20);
  engine4errorSet(&c, 0);
  c.refuseOverwrite = 0;
  REQUIRE_EQ(file4create(&f, &c, "OLD.DBF", false), 0);
  CHECK_EQ(file4length(&f), 0);
  CHECK_EQ(file4close(&f), 0);
  CHECK_STR(readWhole("OLD.DBF"), "");
}

void readOnlyAttribute() {
  Context c;
  DiskFile f, g;
  writeWhole("RO.DBF", "fixed");
  SetFileAttributesA("RO.DBF", FILE_ATTRIBUTE_READONLY);
  REQUIRE_EQ(file4open(&f, &c, "RO.DBF", false), 0);
  CHECK(f.readOnly);
  CHECK_EQ(file4write(&f, 0, "x", 1), -120);
  engine4errorSet(&c, 0);
  CHECK_EQ(file4flush(&f), 0);
  CHECK_EQ(file4lock(&f, kRecord5Fox, 1), 0);  // nothing to lock for a reader
  CHECK_EQ(file4close(&f), 0);
  // Windows refuses to write a read-only file, so the engine never replaces
  // it. Wine run by root opens it for writing all the same (root passes every
  // permission check): there the refusal cannot be seen.
  HANDLE probe = CreateFileA("RO.DBF", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    c.refuseOverwrite = 0;
    CHECK_EQ(file4create(&g, &c, "RO.DBF", false), 60);  // never replaced
    engine4errorSet(&c, 0);
    CHECK_STR(readWhole("RO.DBF"), "fixed");
  } else {
    CloseHandle(probe);
    printf("    note: this system lets a read-only file be opened for writing\n");
  }
  SetFileAttributesA("RO.DBF", FILE_ATTRIBUTE_NORMAL);
}

// --- share modes ---

void exclusiveOpenRefusesOthers() {
  Context c;
  DiskFile first, second;
  writeWhole("SHARED.DBF", std::string(100, 'r'));
  c.shareMode = 1;
  REQUIRE_EQ(file4open(&first, &c, "SHARED.DBF", false), 0);
  CHECK_EQ(first.mode, 1);
  Context other;
  CHECK_EQ(file4open(&second, &other, "SHARED.DBF", false), 70);
  engine4errorSet(&other, 0);
  other.openReadOnly = 1;
  CHECK_EQ(file4open(&second, &other, "SHARED.DBF", false), 70);  // not even to read
  engine4errorSet(&other, 0);
  CHECK_EQ(file4close(&first), 0);
  CHECK_EQ(file4open(&second, &other, "SHARED.DBF", false), 0);
  // And an exclusive open is refused while anyone has the file open.
  CHECK_EQ(file4open(&first, &c, "SHARED.DBF", false), 70);
  engine4errorSet(&c, 0);
  CHECK_EQ(file4close(&second), 0);
}

void denyWriteOpenLetsOthersOnlyRead() {
  Context c, other;
  DiskFile first, second;
  writeWhole("SHARED.DBF", std::string(100, 'r'));
  c.shareMode = 2;
  REQUIRE_EQ(file4open(&first, &c, "SHARED.DBF", false), 0);
  CHECK_EQ(file4open(&second, &other, "SHARED.DBF", false), 70);  // read-write: refused
  engine4errorSet(&other, 0);
  other.openReadOnly = 1;
  REQUIRE_EQ(file4open(&second, &other, "SHARED.DBF", false), 0);  // reading only: fine
  CHECK(second.readOnly);
  char buf[3] = {};
  CHECK_EQ(file4readAll(&second, 0, buf, 3), 0);
  CHECK_EQ(file4close(&second), 0);
  CHECK_EQ(file4close(&first), 0);
  // A shared writer keeps a later mode-2 open out.
  other.openReadOnly = 0;
  REQUIRE_EQ(file4open(&second, &other, "SHARED.DBF", false), 0);
  CHECK_EQ(file4open(&first, &c, "SHARED.DBF", false), 70);
  engine4errorSet(&c, 0);
  CHECK_EQ(file4close(&second), 0);
}

void createNeverReplacesAnOpenFile() {
  Context c, other;
  DiskFile holder, f;
  writeWhole("BUSY.DBF", "in use");
  REQUIRE_EQ(file4open(&holder, &other, "BUSY.DBF", false), 0);  // shared, read-write
  c.refuseOverwrite = 0;
  CHECK_EQ(file4create(&f, &c, "BUSY.DBF", false), 60);
  engine4errorSet(&c, 0);
  CHECK_EQ(file4close(&holder), 0);
  CHECK_STR(readWhole("BUSY.DBF"), "in use");
  CHECK_EQ(file4create(&f, &c, "BUSY.DBF", false), 0);
  CHECK_EQ(file4close(&f), 0);
}

// --- locks between two DiskFiles of one process ---

void lockRefusedAfterTheGivenTries() {
  Context c, other;
  DiskFile holder, f;
  writeWhole("SHARED.DBF", std::string(1000, 'r'));
  REQUIRE_EQ(file4open(&holder, &c, "SHARED.DBF", false), 0);
  REQUIRE_EQ(file4open(&f, &other, "SHARED.DBF", false), 0);
  REQUIRE_EQ(file4lock(&holder, kRecord5Fox, 1), 0);

  OsInterface counting = *os4platform();
  counting.lock = countingLock;
  g_lockCalls = 0;
  os4set(&counting);
  other.lockAttempts = 3;
  other.lockRetryDelay = 5;  // 50 ms
  auto start = std::chrono::steady_clock::now();
  CHECK_EQ(file4lock(&f, kRecord5Fox, 1), 50);
  const double waited = millisecondsSince(start);
  os4set(nullptr);
  CHECK_EQ(g_lockCalls.load(), 3);
  CHECK(waited >= 95);  // two pauses of 50 ms
  CHECK(waited < 2000);
  CHECK_EQ(other.errorCode, 0);  // a refusal is no error

  CHECK_EQ(file4lock(&f, kRecord5Fox - 1, 1), 0);  // the neighbouring record is free
  CHECK_EQ(file4unlock(&holder, kRecord5Fox, 1), 0);
  CHECK_EQ(file4lock(&f, kRecord5Fox, 1), 0);
  CHECK_EQ(file4lock(&holder, kRecord5Fox, 1), 50);  // now the other way round
  CHECK_EQ(file4close(&f), 0);
  CHECK_EQ(file4close(&holder), 0);
}

// The lock positions lie far beyond the end of a small file; the whole-file
// range covers every dBASE-scheme record byte.
void lockRangesOfTheFileFormats() {
  Context c, other;
  DiskFile a, b;
  writeWhole("SHARED.DBF", std::string(10, 'r'));
  REQUIRE_EQ(file4open(&a, &c, "SHARED.DBF", false), 0);
  REQUIRE_EQ(file4open(&b, &other, "SHARED.DBF", false), 0);
  REQUIRE_EQ(file4lock(&a, kLockWholeFile, kLockWholeFileLength), 0);
  const int64_t record3 = lock4recordPosition(false, 296, 50, 3);
  CHECK_EQ(file4lock(&b, record3, 1), 50);
  CHECK_EQ(file4lock(&b, kLockAppend, 1), 50);     // the range ends with the append byte
  CHECK_EQ(file4lock(&b, kLockAppend + 1, 1), 0);  // and no further
  CHECK_EQ(file4unlock(&a, kLockWholeFile, kLockWholeFileLength), 0);
  CHECK_EQ(file4lock(&b, record3, 1), 0);
  CHECK_EQ(file4length(&a), 10);  // locking beyond the end changes nothing
  // Locked ranges beyond the data do not stand in the way of reading it.
  char buf[10];
  CHECK_EQ(file4readAll(&a, 0, buf, 10), 0);
  CHECK_EQ(file4close(&a), 0);
  CHECK_EQ(file4close(&b), 0);
}

void locksEndWithTheirHandle() {
  Context c, other;
  DiskFile a, b;
  writeWhole("SHARED.DBF", std::string(10, 'r'));
  REQUIRE_EQ(file4open(&a, &c, "SHARED.DBF", false), 0);
  REQUIRE_EQ(file4open(&b, &other, "SHARED.DBF", false), 0);
  REQUIRE_EQ(file4lock(&a, kLockAppend, 1), 0);
  CHECK_EQ(file4lock(&b, kLockAppend, 1), 50);
  CHECK_EQ(file4close(&a), 0);
  CHECK_EQ(file4lock(&b, kLockAppend, 1), 0);
  CHECK_EQ(file4close(&b), 0);
}

// lockAttempts -1 waits until the holder (another thread) lets go.
void lockWaitsUntilReleased() {
  writeWhole("SHARED.DBF", std::string(10, 'r'));
  std::atomic<int> stage{0};
  std::thread holder([&stage] {
    Context c;
    DiskFile a;
    if (file4open(&a, &c, "SHARED.DBF", false) != 0 || file4lock(&a, kRecord5Fox, 1) != 0) {
      stage = -1;
      return;
    }
    stage = 1;
    Sleep(300);
    file4close(&a);
  });
  while (stage == 0) Sleep(1);
  Context c;
  DiskFile b;
  if (stage == 1 && file4open(&b, &c, "SHARED.DBF", false) == 0) {
    c.lockAttempts = -1;
    auto start = std::chrono::steady_clock::now();
    CHECK_EQ(file4lock(&b, kRecord5Fox, 1), 0);
    CHECK(millisecondsSince(start) >= 150);
    CHECK_EQ(file4close(&b), 0);
  } else {
    fail(__LINE__, "the holder thread or the second open failed");
  }
  holder.join();
}

// The engine's waits keep the message queue empty and still last their time.
void sleepDropsMessagesAndWaits() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // gives the thread its queue
  CHECK(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 7, 1, 2));
  auto start = std::chrono::steady_clock::now();
  os4platform()->sleep(60);
  double waited = millisecondsSince(start);
  CHECK(waited >= 55);
  CHECK(waited < 1000);
  CHECK(!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  start = std::chrono::steady_clock::now();
  os4platform()->sleep(0);
  CHECK(millisecondsSince(start) < 50);
}

int g_paints = 0;
int g_otherMessages = 0;
bool g_validates = true;  // false: the window never paints, so WM_PAINT stays due
LRESULT CALLBACK countingWindow(HWND w, UINT message, WPARAM wp, LPARAM lp) {
  if (message == WM_PAINT) {
    g_paints++;
    if (!g_validates) return 0;
    PAINTSTRUCT ps;
    BeginPaint(w, &ps);
    EndPaint(w, &ps);
    return 0;
  }
  if (message == WM_USER + 8) g_otherMessages++;
  return DefWindowProcA(w, message, wp, lp);
}

// A window of the waiting thread is repainted while the engine waits; the
// other messages posted to it are dropped, not dispatched.
void sleepRepaintsWindows() {
  WNDCLASSA wc;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = countingWindow;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "wh_os_paint";
  RegisterClassA(&wc);
  HWND w = CreateWindowA("wh_os_paint", "wait", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                         nullptr, wc.hInstance, nullptr);
  REQUIRE_EQ(w != nullptr, true);
  ShowWindow(w, SW_SHOWNOACTIVATE);
  os4platform()->sleep(50);  // the first paint and the messages of showing
  g_paints = 0;
  g_otherMessages = 0;
  InvalidateRect(w, nullptr, FALSE);
  PostMessageA(w, WM_USER + 8, 0, 0);
  os4platform()->sleep(50);
  CHECK_EQ(g_paints, 1);
  CHECK_EQ(g_otherMessages, 0);
  // A window that never validates itself does not hold the wait up.
  g_validates = false;
  InvalidateRect(w, nullptr, FALSE);
  auto start = std::chrono::steady_clock::now();
  os4platform()->sleep(50);
  CHECK(millisecondsSince(start) < 1000);
  CHECK(g_paints > 1);
  g_validates = true;
  DestroyWindow(w);
  UnregisterClassA("wh_os_paint", wc.hInstance);
}

// --- temporary files ---

void tempNamesFollowTheEnvironment() {
  const std::string here = currentDirectory();
  CreateDirectoryA("T1", nullptr);
  CreateDirectoryA("T2", nullptr);
  const std::string t1 = here + "\\T1", t2 = here + "\\T2\\";  // with and without "\"
  auto checkTemp = [](const std::string& dir, bool mark) {
    Context c;
    DiskFile f;
    if (file4temp(&f, &c, mark) != 0) {
      fail(__LINE__, "file4temp failed in " + dir);
      return;
    }
    std::string name = f.name;
    std::string expectedDir = dir.back() == '\\' ? dir : dir + "\\";
    CHECK_STR(name.substr(0, expectedDir.size()), expectedDir);
    std::string leaf = name.substr(expectedDir.size());
    CHECK_EQ(leaf.size(), 12);
    CHECK_STR(leaf.substr(0, 4), "TEMP");
    CHECK(leaf.find_first_not_of("0123456789", 4) == 8);
    CHECK_STR(leaf.substr(8), ".TMP");
    CHECK_EQ(f.mode, 1);
    CHECK_EQ(file4write(&f, 0, "tmp", 3), 0);
    CHECK_EQ(file4close(&f), 0);
    CHECK_EQ(exists(name.c_str()), !mark);
    DeleteFileA(name.c_str());
  };
  {
    EnvSetting temp("TEMP", t1.c_str()), tmp("TMP", t2.c_str());
    checkTemp(t1, true);
    checkTemp(t1, false);
  }
  {
    EnvSetting temp("TEMP", nullptr), tmp("TMP", t2.c_str());
    checkTemp(t2, true);
  }
  {
    EnvSetting temp("TEMP", ""), tmp("TMP", nullptr);  // empty counts as unset
    checkTemp(here, true);
  }
}

// A name in use is not taken: the second file waits for the next second.
void tempNameInUseIsSkipped() {
  EnvSetting temp("TEMP", currentDirectory().c_str());
  Context c;
  DiskFile a, b;
  REQUIRE_EQ(file4temp(&a, &c, true), 0);
  REQUIRE_EQ(file4temp(&b, &c, true), 0);
  CHECK(std::string(a.name) != std::string(b.name));
  CHECK_EQ(file4close(&a), 0);
  CHECK_EQ(file4close(&b), 0);
}

// --- renaming ---

void renameNeverReplaces() {
  writeWhole("A.MSG", "message a");
  writeWhole("B.MSG", "message b");
  CHECK_EQ(file4renameNoReplace("A.MSG", "B.MSG"), -1);
  CHECK_STR(readWhole("A.MSG"), "message a");
  CHECK_STR(readWhole("B.MSG"), "message b");
  CHECK_EQ(file4renameNoReplace("A.MSG", "C.MSG"), 0);
  CHECK(!exists("A.MSG"));
  CHECK_STR(readWhole("C.MSG"), "message a");
  CHECK_EQ(file4renameNoReplace("MISSING.MSG", "D.MSG"), -1);
  CHECK_EQ(os4platform()->rename("C.MSG", "B.MSG", false), kOsExists);
  CHECK_EQ(os4platform()->rename("C.MSG", "B.MSG", true), kOsOk);
  CHECK_STR(readWhole("B.MSG"), "message a");
  CHECK_EQ(file4remove("B.MSG"), 0);
  CHECK_EQ(file4remove("B.MSG"), -1);
}

// --- full names ---

std::string fullName(const char* name, const char* extension = "DBF") {
  char out[300];
  int n = file4nameFull(out, sizeof out, name, extension, false);
  return n < 0 ? "<error>" : std::string(out, n);
}

void fullNamesFollowWindowsRules() {
  const std::string here = upper(currentDirectory());
  CHECK_STR(fullName("abc"), here + "\\ABC.DBF");
  CHECK_STR(fullName("sub/x.dat"), here + "\\SUB\\X.DAT");
  CHECK_STR(fullName(".\\sub\\..\\y  "), here + "\\Y.DBF");
  CHECK_STR(fullName("c:\\Data\\Mail\\..\\UserBase"), "C:\\DATA\\USERBASE.DBF");
  CHECK_STR(fullName("\\\\server\\share\\dir\\Msg"), "\\\\SERVER\\SHARE\\DIR\\MSG.DBF");
  // A trailing dot says "no extension"; GetFullPathNameA alone would drop it.
  CHECK_STR(fullName("plain."), here + "\\PLAIN.");
  CHECK_STR(fullName("dir.d\\name"), here + "\\DIR.D\\NAME.DBF");
  // A name beginning with one backslash is on the current drive.
  CHECK_STR(fullName("\\top"), here.substr(0, 2) + "\\TOP.DBF");
  // Two spellings of one file give one name.
  CHECK_STR(fullName((currentDirectory() + "\\Abc").c_str()), fullName("ABC"));
  CHECK_STR(fullName(""), "<error>");
  CHECK_STR(fullName("dir\\"), "<error>");
  char small[8];
  CHECK_EQ(file4nameFull(small, sizeof small, "longer-name", "DBF", false), -1);
}

// --- whole tables ---

const ColumnDescription kColumns[] = {{"NAME", 'C', 12, 0, 0},
                                      {"COUNT", 'N', 6, 0, 0},
                                      {"NOTE", 'M', 0, 0, 0},
                                      {nullptr, 0, 0, 0, 0}};

int appendRow(Table* t, const char* name, int32_t count, const char* note) {
  int rc = table4appendStart(t, false);
  if (rc != 0) return rc;
  table4blank(t);
  ColumnValue n(table4column(t, 1)), c(table4column(t, 2)), m(table4column(t, 3));
  if ((rc = column4assign(&n, name)) != 0) return rc;
  if ((rc = column4assignLong(&c, count, -1, false)) != 0) return rc;
  if (*note != '\0' && (rc = column4assign(&m, note)) != 0) return rc;
  return table4append(t);
}

std::string columnText(Table* t, int n) {
  ColumnValue v(table4column(t, n));
  return std::string(v.pointer(), v.length());
}

std::string memoText(Table* t, int n) {
  uint32_t len = 0;
  const char* text = column4memoText(table4column(t, n), &len);
  return text == nullptr ? "<null>" : std::string(text, len);
}

void tableRoundTrip() {
  const std::string longNote(3000, 'm');
  {
    Context c;
    c.compatibility = 30;
    Table* t = table4create(&c, "Mail", kColumns, nullptr);
    REQUIRE_EQ(t != nullptr, true);
    CHECK_EQ(appendRow(t, "alice", 1, "first note"), 0);
    CHECK_EQ(appendRow(t, "bob", 22, ""), 0);
    CHECK_EQ(appendRow(t, "carol", 333, longNote.c_str()), 0);
    CHECK_EQ(table4recCount(t), 3);
    CHECK_EQ(table4close(t), 0);
    CHECK_EQ(c.errorCode, 0);
  }
  CHECK_STR(nameOnDisk("mail.dbf"), "MAIL.DBF");
  CHECK_STR(nameOnDisk("mail.fpt"), "MAIL.FPT");
  Context c;
  Table* t = table4open(&c, "mail");
  REQUIRE_EQ(t != nullptr, true);
  CHECK_EQ(table4recCount(t), 3);
  CHECK_EQ(table4go(t, 1), 0);
  CHECK_STR(columnText(t, 1), "alice       ");
  CHECK_EQ(column4long(table4column(t, 2)), 1);
  CHECK_STR(memoText(t, 3), "first note");
  CHECK_EQ(table4go(t, 2), 0);
  CHECK_STR(columnText(t, 1), "bob         ");
  CHECK_STR(memoText(t, 3), "");
  CHECK_EQ(table4go(t, 3), 0);
  CHECK_EQ(column4long(table4column(t, 2)), 333);
  CHECK_STR(memoText(t, 3), longNote);
  CHECK_EQ(table4close(t), 0);
  CHECK_EQ(c.errorCode, 0);
}

// Two contexts of one process meet only in the system's locks: a record, the
// append byte and the whole file, each taken and given back by the table layer
// (Windows releases only a range locked with exactly the same position and
// length, so a mismatch shows here as -110).
void tableLocksBetweenContexts() {
  Context a, b;
  a.compatibility = 30;
  Table* ta = table4create(&a, "LOCKS", kColumns, nullptr);
  REQUIRE_EQ(ta != nullptr, true);
  for (int i = 1; i <= 3; i++) CHECK_EQ(appendRow(ta, "row", i, ""), 0);
  Table* tb = table4open(&b, "locks.dbf");
  REQUIRE_EQ(tb != nullptr, true);
  CHECK_EQ(table4recCount(tb), 3);

  CHECK_EQ(table4lockRecord(ta, 2), 0);
  CHECK_EQ(table4lockRecord(tb, 2), 50);
  CHECK_EQ(table4lockRecord(tb, 3), 0);
  CHECK_EQ(table4lockFile(ta), 50);  // b holds record 3
  CHECK_EQ(table4unlock(tb), 0);
  CHECK_EQ(table4unlock(ta), 0);
  CHECK_EQ(table4lockRecord(tb, 2), 0);
  CHECK_EQ(table4unlock(tb), 0);

  CHECK_EQ(table4lockFile(ta), 0);
  CHECK_EQ(table4lockRecord(tb, 1), 50);
  CHECK_EQ(appendRow(tb, "late", 4, ""), 50);  // the append byte is a's as well
  CHECK_EQ(table4unlock(ta), 0);
  CHECK_EQ(appendRow(tb, "late", 4, "memo of four"), 0);
  CHECK_EQ(table4unlock(tb), 0);
  CHECK_EQ(a.errorCode, 0);
  CHECK_EQ(b.errorCode, 0);
  CHECK_EQ(table4close(tb), 0);
  CHECK_EQ(table4recCount(ta), 4);
  CHECK_EQ(table4go(ta, 4), 0);
  CHECK_STR(memoText(ta, 3), "memo of four");
  CHECK_EQ(table4close(ta), 0);
}

// Memo compression of an exclusively opened table builds the new memo file in
// the temporary directory and renames it over the old one.
void memoCompressReplacesTheFile() {
  EnvSetting temp("TEMP", currentDirectory().c_str());
  {
    Context c;
    c.compatibility = 30;
    Table* t = table4create(&c, "PACKED", kColumns, nullptr);
    REQUIRE_EQ(t != nullptr, true);
    CHECK_EQ(appendRow(t, "one", 1, std::string(2000, 'a').c_str()), 0);
    CHECK_EQ(appendRow(t, "two", 2, "short"), 0);
    CHECK_EQ(table4go(t, 1), 0);
    ColumnValue m(table4column(t, 3));
    CHECK_EQ(column4assign(&m, "now short too"), 0);  // leaves the old blocks unused
    CHECK_EQ(table4close(t), 0);
  }
  const size_t before = readWhole("PACKED.FPT").size();
  Context c;
  c.shareMode = 1;
  Table* t = table4open(&c, "PACKED");
  REQUIRE_EQ(t != nullptr, true);
  CHECK_EQ(table4memoCompress(t), 0);
  CHECK_EQ(table4go(t, 1), 0);
  CHECK_STR(memoText(t, 3), "now short too");
  CHECK_EQ(table4go(t, 2), 0);
  CHECK_STR(memoText(t, 3), "short");
  CHECK_EQ(table4close(t), 0);
  CHECK(readWhole("PACKED.FPT").size() < before);
  CHECK_STR(nameOnDisk("TEMP*.TMP"), "<none>");
}

// --- another process ---

// Body of the child process: opens |name| in share mode |mode|, locks the
// byte of record 5 (mode 0 only), signals |ready| and holds everything until
// |go| is signalled.
int holdInChild(const char* name, int mode, const char* ready, const char* go) {
  Context c;
  c.shareMode = static_cast<uint8_t>(mode);
  DiskFile f;
  if (file4open(&f, &c, name, false) != 0) return 2;
  if (mode == 0 && file4lock(&f, kRecord5Fox, 1) != 0) return 3;
  HANDLE readyEvent = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready);
  HANDLE goEvent = OpenEventA(SYNCHRONIZE, FALSE, go);
  if (readyEvent == nullptr || goEvent == nullptr) return 4;
  SetEvent(readyEvent);
  WaitForSingleObject(goEvent, 20000);
  return file4close(&f) == 0 ? 0 : 5;
}

// This program started again as a holder of SHARED.DBF; stops it on
// destruction. |ok| tells whether the child got as far as holding the file.
class Holder {
 public:
  explicit Holder(int mode) {
    const std::string tag = std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++count_);
    const std::string readyName = "wh_os_ready_" + tag, goName = "wh_os_go_" + tag;
    ready_ = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    go_ = CreateEventA(nullptr, TRUE, FALSE, goName.c_str());
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = "\"" + std::string(self) + "\" --hold SHARED.DBF " +
                          std::to_string(mode) + " " + readyName + " " + goName;
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    memset(&process_, 0, sizeof process_);
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &process_)) {
      return;
    }
    HANDLE both[2] = {ready_, process_.hProcess};
    ok_ = WaitForMultipleObjects(2, both, FALSE, 20000) == WAIT_OBJECT_0;
  }
  // Lets the child close the file and end; its exit status (0 when all went well).
  DWORD release() {
    if (process_.hProcess == nullptr) return 99;
    SetEvent(go_);
    WaitForSingleObject(process_.hProcess, 20000);
    DWORD status = 99;
    GetExitCodeProcess(process_.hProcess, &status);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
    process_.hProcess = nullptr;
    return status;
  }
  ~Holder() {
    if (process_.hProcess != nullptr) {
      TerminateProcess(process_.hProcess, 1);
      release();
    }
    CloseHandle(ready_);
    CloseHandle(go_);
  }
  bool ok() const { return ok_; }

 private:
  static inline int count_ = 0;
  HANDLE ready_ = nullptr;
  HANDLE go_ = nullptr;
  PROCESS_INFORMATION process_;
  bool ok_ = false;
};

// Another process (as the mail server while the migration runs) holds the
// record byte: three tries with their pauses give 50, and the byte is free
// once that process has closed the file.
void locksBetweenProcesses() {
  writeWhole("SHARED.DBF", std::string(1000, 'r'));
  Holder holder(0);
  REQUIRE_EQ(holder.ok(), true);
  Context c;
  DiskFile f;
  REQUIRE_EQ(file4open(&f, &c, "SHARED.DBF", false), 0);
  c.lockAttempts = 3;
  c.lockRetryDelay = 5;
  auto start = std::chrono::steady_clock::now();
  CHECK_EQ(file4lock(&f, kRecord5Fox, 1), 50);
  CHECK(millisecondsSince(start) >= 95);
  CHECK_EQ(file4lock(&f, kRecord5Fox - 1, 1), 0);
  CHECK_EQ(file4unlock(&f, kRecord5Fox - 1, 1), 0);
  DiskFile exclusive;
  Context e;
  e.shareMode = 1;
  CHECK_EQ(file4open(&exclusive, &e, "SHARED.DBF", false), 70);  // the child has it open
  CHECK_EQ(holder.release(), 0);
  CHECK_EQ(file4lock(&f, kRecord5Fox, 1), 0);
  CHECK_EQ(file4close(&f), 0);
}

void shareModesBetweenProcesses() {
  writeWhole("SHARED.DBF", std::string(10, 'r'));
  {
    Holder holder(1);
    REQUIRE_EQ(holder.ok(), true);
    Context c;
    DiskFile f;
    c.openReadOnly = 1;
    CHECK_EQ(file4open(&f, &c, "SHARED.DBF", false), 70);
    CHECK_EQ(holder.release(), 0);
    CHECK_EQ(file4open(&f, &c, "SHARED.DBF", false), 0);
    CHECK_EQ(file4close(&f), 0);
  }
  {
    Holder holder(2);
    REQUIRE_EQ(holder.ok(), true);
    Context c;
    DiskFile f;
    CHECK_EQ(file4open(&f, &c, "SHARED.DBF", false), 70);
    engine4errorSet(&c, 0);
    c.openReadOnly = 1;
    CHECK_EQ(file4open(&f, &c, "SHARED.DBF", false), 0);
    CHECK_EQ(file4close(&f), 0);
    CHECK_EQ(holder.release(), 0);
  }
}

// --- running ---

struct Case {
  const char* name;
  void (*run)();
};

const Case kCases[] = {
    {"files.roundTrip", filesRoundTrip},
    {"files.beyondFourGiB", filesBeyondFourGiB},
    {"files.openFailures", openFailures},
    {"files.createOverExisting", createOverExisting},
    {"files.readOnlyAttribute", readOnlyAttribute},
    {"share.exclusiveRefusesOthers", exclusiveOpenRefusesOthers},
    {"share.denyWriteLetsOthersOnlyRead", denyWriteOpenLetsOthersOnlyRead},
    {"share.createNeverReplacesAnOpenFile", createNeverReplacesAnOpenFile},
    {"locks.refusedAfterTheGivenTries", lockRefusedAfterTheGivenTries},
    {"locks.rangesOfTheFileFormats", lockRangesOfTheFileFormats},
    {"locks.endWithTheirHandle", locksEndWithTheirHandle},
    {"locks.waitUntilReleased", lockWaitsUntilReleased},
    {"wait.dropsMessagesAndWaits", sleepDropsMessagesAndWaits},
    {"wait.repaintsWindows", sleepRepaintsWindows},
    {"temp.namesFollowTheEnvironment", tempNamesFollowTheEnvironment},
    {"temp.nameInUseIsSkipped", tempNameInUseIsSkipped},
    {"rename.neverReplaces", renameNeverReplaces},
    {"names.followWindowsRules", fullNamesFollowWindowsRules},
    {"tables.roundTrip", tableRoundTrip},
    {"tables.locksBetweenContexts", tableLocksBetweenContexts},
    {"tables.memoCompressReplacesTheFile", memoCompressReplacesTheFile},
    {"process.locks", locksBetweenProcesses},
    {"process.shareModes", shareModesBetweenProcesses},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && strcmp(argv[1], "--hold") == 0) {
    return holdInChild(argv[2], atoi(argv[3]), argv[4], argv[5]);
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  const char* filter = argc > 1 ? argv[1] : "";
  char tempPath[MAX_PATH];
  GetTempPathA(sizeof tempPath, tempPath);
  const std::string home = currentDirectory();
  int passed = 0, failed = 0, number = 0;
  for (const Case& c : kCases) {
    if (strstr(c.name, filter) == nullptr) continue;
    const std::string dir = std::string(tempPath) + "wh_os_" +
                            std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++number);
    removeTree(dir);
    if (!CreateDirectoryA(dir.c_str(), nullptr) || !SetCurrentDirectoryA(dir.c_str())) {
      printf("[FAIL] %s: no scratch directory %s\n", c.name, dir.c_str());
      failed++;
      continue;
    }
    g_caseFailures = 0;
    c.run();
    SetCurrentDirectoryA(home.c_str());
    removeTree(dir);
    if (g_caseFailures == 0) {
      printf("[ OK ] %s\n", c.name);
      passed++;
    } else {
      printf("[FAIL] %s\n", c.name);
      failed++;
    }
  }
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
