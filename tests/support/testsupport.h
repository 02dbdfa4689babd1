// Test support shared by every suite: the host's separators, temporary
// folders, file bytes, environment changes and running the real program.
#ifndef NZ_TESTSUPPORT_H
#define NZ_TESTSUPPORT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace nzt {

#ifdef _WIN32
constexpr char SEP = '\\';
constexpr char LISTSEP = ';';
constexpr bool kWindows = true;
#else
constexpr char SEP = '/';
constexpr char LISTSEP = ':';
constexpr bool kWindows = false;
#endif

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder (or the folder
// NZT_TEMP names), removed with all it holds when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  // The folder, with a trailing separator, in the host's spelling.
  const std::string &dir() const { return dir_; }
  // dir() + name ('/' in name becomes the host's separator).
  std::string path(const std::string &name) const;
  fs::path fspath() const { return fs::path(dir_); }

 private:
  std::string dir_;
};

// Joins with the host's separator; '/' inside parts becomes it too.
std::string host_path(const std::string &p);

std::string read_file(const std::string &path);             // "" when missing
// Success when the file's bytes are want; else where they first differ,
// briefly (a diff of two large files would take the test's time).
::testing::AssertionResult file_holds(const std::string &path, const std::string &want);
bool write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);
void make_read_only(const std::string &path, bool read_only);
// A symbolic link at link leading to the existing file target: natively;
// under Wine a Unix link made by /bin/ln. false when none could be made.
bool make_symlink(const std::string &target, const std::string &link);
// Gives the file path to another account (natively: nobody), as if it
// had made it: false where that cannot be done (under Wine).
bool give_away(const std::string &path);
// Lets every account write the file path (natively mode 0666; Windows an
// access list entry for Everyone): false when that could not be done.
bool share_with_all(const std::string &path);
// A named pipe at path: natively; under Wine by /usr/bin/mkfifo. false
// when none could be made.
bool make_fifo(const std::string &path);
// Removes the pipe make_fifo made (a test's folder with one in it cannot
// be removed under Wine).
void remove_fifo(const std::string &path);

// Sets (or with a null value removes) an environment variable for the rest
// of the test; EnvGuard puts back what was there.
void set_env(const char *name, const char *value);
class EnvGuard {
 public:
  explicit EnvGuard(const char *name);
  EnvGuard(const char *name, const char *value);
  ~EnvGuard();

 private:
  std::string name_;
  bool had_;
  std::string old_;
};

// The folder of the running test program, with a trailing separator: the
// build folder, where nzeptins.exe and hostlib/npagra.dll are.
std::string build_dir();
std::string program_path();  // build_dir() + "nzeptins.exe"
std::string hostlib_path();  // build_dir() + "hostlib" + SEP + "npagra.dll"

// Runs program with argv[0] given as argv0, standard input fed from input
// and closed, standard output and error captured, in folder cwd, with env
// added to (value set) or removed from (value empty) this process's
// environment. Kills it after timeout_ms milliseconds (exit_code -1).
struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};
RunResult run_program(const std::string &program, const std::vector<std::string> &argv, const std::string &input,
                      const std::string &cwd, const std::map<std::string, std::string> &env = {},
                      int timeout_ms = 60000);
inline RunResult run_program(const std::string &program, const std::string &argv0, const std::string &input,
                             const std::string &cwd, const std::map<std::string, std::string> &env = {},
                             int timeout_ms = 60000) {
  return run_program(program, std::vector<std::string>{argv0}, input, cwd, env, timeout_ms);
}

// CR LF joined lines: crlf({"[a]", "b=1"}) == "[a]\r\nb=1\r\n".
std::string crlf(const std::vector<std::string> &lines);

}  // namespace nzt

#endif
