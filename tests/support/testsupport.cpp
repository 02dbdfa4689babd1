// Test support: temporary folders, file bytes, environment, child programs.
#include "testsupport.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "os.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace nzt {

static std::string with_sep(std::string s) {
  if (s.empty() || s.back() != SEP) s += SEP;
  return s;
}

std::string host_path(const std::string &p) {
  std::string s = p;
  for (char &c : s)
    if (c == '/') c = SEP;
  return s;
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  // NZT_TEMP puts every test folder on another volume (tests/fs/fs_matrix.sh
  // mounts one); under Wine a Windows path (Z:\tmp\...).
  const char *volume = getenv("NZT_TEMP");
  fs::path base = volume && *volume ? fs::path(volume) : fs::temp_directory_path();
  for (int i = 0; i < 100; ++i) {
    char name[64];
    snprintf(name, sizeof name, "nzt-%08x-%u", (unsigned)rd(), counter++);
    fs::path p = base / name;
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      dir_ = with_sep(p.string());
      return;
    }
  }
  fprintf(stderr, "cannot make a temporary folder\n");
  abort();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files would stop the removal on Windows.
  for (auto it = fs::recursive_directory_iterator(dir_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(dir_, ec);
}

std::string TempDir::path(const std::string &name) const { return dir_ + host_path(name); }

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

::testing::AssertionResult file_holds(const std::string &path, const std::string &want) {
  const std::string got = read_file(path);
  if (got == want) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  auto around = [at](const std::string &s) { return ::testing::PrintToString(s.substr(at < 20 ? 0 : at - 20, 60)); };
  return ::testing::AssertionFailure() << path << " (" << got.size() << " bytes, " << want.size() << " wanted) differs at byte "
                                       << at << ": " << around(got) << " against " << around(want);
}

bool write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), (std::streamsize)bytes.size());
  return (bool)out;
}

bool file_exists(const std::string &path) {
  std::error_code ec;
  return fs::exists(fs::path(path), ec);
}

void make_read_only(const std::string &path, bool read_only) {
  std::error_code ec;
  if (read_only)
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, ec);
  else
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
}

#ifdef _WIN32
// The Unix path of a path under Wine, which makes no link itself but
// runs /bin/ln, and shows the link it made as the file it leads to.
static std::string unix_path(const std::string &path) {
  typedef char *(CDECL * TO_UNIX)(LPCWSTR);
  TO_UNIX to_unix = (TO_UNIX)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
  WCHAR wide[1024];
  if (!to_unix || !MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, 1024)) return "";
  char *u = to_unix(wide);
  std::string r = u ? u : "";
  if (u) HeapFree(GetProcessHeap(), 0, u);
  return r;
}
#endif

bool make_symlink(const std::string &target, const std::string &link) {
#ifdef _WIN32
  std::string t = unix_path(target), l = unix_path(link);
  if (t.empty() || l.empty()) return false;
  (void)run_program("Z:\\bin\\ln", std::vector<std::string>{"ln", "-s", t, l}, "", "");
  // Wine does not wait for a Unix program: the link shows once it is made.
  for (int i = 0; i < 200 && !file_exists(link); ++i) Sleep(10);
  return file_exists(link);
#else
  std::error_code ec;
  fs::create_symlink(target, link, ec);
  return !ec;
#endif
}

bool give_away(const std::string &path) {
#ifdef _WIN32
  (void)path;
  return false;
#else
  return geteuid() == 0 && lchown(path.c_str(), 65534, 65534) == 0;
#endif
}

bool share_with_all(const std::string &path) {
#ifdef _WIN32
  PACL was = NULL, acl = NULL;
  PSECURITY_DESCRIPTOR sd = NULL;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &was, NULL, &sd) !=
      ERROR_SUCCESS)
    return false;
  EXPLICIT_ACCESS_A ea;
  memset(&ea, 0, sizeof ea);
  ea.grfAccessPermissions = GENERIC_WRITE;
  ea.grfAccessMode = GRANT_ACCESS;
  ea.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  ea.Trustee.ptstrName = const_cast<char *>("EVERYONE");
  bool ok = SetEntriesInAclA(1, &ea, was, &acl) == ERROR_SUCCESS &&
            SetNamedSecurityInfoA(const_cast<char *>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL,
                                  NULL, acl, NULL) == ERROR_SUCCESS;
  LocalFree(acl);
  LocalFree(sd);
  return ok;
#else
  return chmod(path.c_str(), 0666) == 0;
#endif
}

bool make_fifo(const std::string &path) {
#ifdef _WIN32
  std::string p = unix_path(path);
  if (p.empty()) return false;
  (void)run_program("Z:\\usr\\bin\\mkfifo", std::vector<std::string>{"mkfifo", p}, "", "");
  // Listed, though Wine can ask it for nothing else.
  for (int i = 0; i < 200 && os_name_kind(path.c_str()) == OS_KIND_NONE; ++i) Sleep(10);
  return os_name_kind(path.c_str()) == OS_KIND_OTHER;
#else
  return mkfifo(path.c_str(), 0600) == 0;
#endif
}

void remove_fifo(const std::string &path) {
  if (os_name_kind(path.c_str()) != OS_KIND_OTHER) return;
#ifdef _WIN32
  // Wine would wait for a writer in any open of it, a deletion's too.
  std::string p = unix_path(path);
  if (p.empty()) return;
  (void)run_program("Z:\\bin\\rm", std::vector<std::string>{"rm", "-f", p}, "", "");
  for (int i = 0; i < 200 && os_name_kind(path.c_str()) != OS_KIND_NONE; ++i) Sleep(10);
#else
  (void)unlink(path.c_str());
#endif
}

void set_env(const char *name, const char *value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
  SetEnvironmentVariableA(name, value);
#else
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

EnvGuard::EnvGuard(const char *name) : name_(name) {
  const char *v = getenv(name);
  had_ = v != nullptr;
  if (v) old_ = v;
}

EnvGuard::EnvGuard(const char *name, const char *value) : EnvGuard(name) { set_env(name, value); }

EnvGuard::~EnvGuard() { set_env(name_.c_str(), had_ ? old_.c_str() : nullptr); }

std::string build_dir() {
  char buf[4096];
#ifdef _WIN32
  DWORD n = GetModuleFileNameA(NULL, buf, sizeof buf);
  std::string self(buf, n);
#else
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string self(buf, n > 0 ? (size_t)n : 0);
#endif
  return self.substr(0, self.find_last_of(SEP) + 1);
}

std::string program_path() { return build_dir() + "nzeptins.exe"; }

std::string hostlib_path() { return build_dir() + "hostlib" + SEP + "npagra.dll"; }

std::string crlf(const std::vector<std::string> &lines) {
  std::string s;
  for (const auto &l : lines) s += l + "\r\n";
  return s;
}

RunResult run_program(const std::string &program, const std::vector<std::string> &args, const std::string &input,
                      const std::string &cwd, const std::map<std::string, std::string> &env, int timeout_ms) {
  RunResult r;
  // Input and output go through files: no pipe can fill up and stall.
  TempDir io;
  std::string in_path = io.path("stdin.txt"), out_path = io.path("stdout.txt"), err_path = io.path("stderr.txt");
#ifdef _WIN32
  // A program started from one thread inherits every inheritable handle
  // open at that moment, another thread's answers file among them (the C
  // runtime opens files inheritable); that thread's child could then not
  // open its answers, which are shared for reading only, and would meet
  // the end of its input at once. Runs from several threads start one at
  // a time, each from the writing of its answers to the closing of the
  // handles its child got.
  static std::mutex starting;
  std::unique_lock<std::mutex> one_at_a_time(starting);
  write_file(in_path, input);
  SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
  HANDLE hin = CreateFileA(in_path.c_str(), GENERIC_READ, FILE_SHARE_READ, &sa, OPEN_EXISTING, 0, NULL);
  HANDLE hout = CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, NULL);
  HANDLE herr = CreateFileA(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, NULL);
  // The child's environment as a block of its own: runs from several
  // threads at once never see each other's changes.
  std::string block;
  char *strings = GetEnvironmentStringsA();
  for (const char *e = strings; *e; e += strlen(e) + 1) {
    const char *eq = strchr(e + 1, '=');  // "=C:=C:\..." entries start with '='
    std::string name(e, eq ? (size_t)(eq - e) : strlen(e));
    bool replaced = false;
    for (const auto &kv : env) replaced = replaced || _stricmp(kv.first.c_str(), name.c_str()) == 0;
    if (!replaced) block.append(e, strlen(e) + 1);
  }
  FreeEnvironmentStringsA(strings);
  for (const auto &kv : env)
    if (!kv.second.empty()) block += kv.first + "=" + kv.second + std::string(1, '\0');
  block += std::string(1, '\0');
  // argv[0] always quoted; the rest where a blank needs it.
  std::string cmd = "\"" + args[0] + "\"";
  for (size_t i = 1; i < args.size(); ++i)
    cmd += args[i].find_first_of(" \t") == std::string::npos ? " " + args[i] : " \"" + args[i] + "\"";
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = hin;
  si.hStdOutput = hout;
  si.hStdError = herr;
  PROCESS_INFORMATION pi;
  std::vector<char> cmdline(cmd.begin(), cmd.end());
  cmdline.push_back('\0');
  BOOL ok = CreateProcessA(program.c_str(), cmdline.data(), NULL, NULL, TRUE, 0, &block[0],
                           cwd.empty() ? NULL : cwd.c_str(), &si, &pi);
  CloseHandle(hin);
  CloseHandle(hout);
  CloseHandle(herr);
  one_at_a_time.unlock();
  if (ok) {
    if (WaitForSingleObject(pi.hProcess, (DWORD)timeout_ms) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(pi.hProcess, &code);
      r.exit_code = (int)code;
    } else {
      TerminateProcess(pi.hProcess, 99);
      WaitForSingleObject(pi.hProcess, 5000);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  } else {
    r.err = "CreateProcess failed";
  }
#else
  write_file(in_path, input);
  pid_t pid = fork();
  if (pid == 0) {
    int fin = open(in_path.c_str(), O_RDONLY);
    int fout = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int ferr = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fin < 0 || fout < 0 || ferr < 0) _exit(126);
    dup2(fin, 0);
    dup2(fout, 1);
    dup2(ferr, 2);
    for (const auto &kv : env) {
      if (kv.second.empty())
        unsetenv(kv.first.c_str());
      else
        setenv(kv.first.c_str(), kv.second.c_str(), 1);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (pid > 0) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    for (;;) {
      pid_t w = waitpid(pid, &status, WNOHANG);
      if (w == pid) {
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() > until) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
#endif
  r.out = read_file(out_path);
  r.err += read_file(err_path);
  return r;
}

}  // namespace nzt
