// Windows has no fork: a test that needs a second process starts this
// test program again. The copy runs a named role instead of the tests: a
// function registered with ChildRole, which the copy finds through the
// environment before any test starts. Two pipes connect them: the child
// reports through one and reads the other, whose end of file releases it.
#ifndef VARNFILE_TESTS_WINDOWS_CHILD_PROCESS_H_
#define VARNFILE_TESTS_WINDOWS_CHILD_PROCESS_H_

#if defined(_WIN32)

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace varnfile_test {

// The child's ends of the two pipes, as C descriptors: it writes its
// reports to report and reads release until its end of file.
struct ChildPipes {
  int report;
  int release;
};
using ChildRoleFunction = void (*)(const std::string& argument, ChildPipes pipes);

// Registers a role at namespace scope: static ChildRole hold("hold", Hold);
// In a child started for that role, the role runs once main has started
// (all static objects are built) and the process then exits with 0.
class ChildRole : public ::testing::Environment {
 public:
  ChildRole(const char* name, ChildRoleFunction role) : name_(name), role_(role) {
    ::testing::AddGlobalTestEnvironment(this);
  }
  void SetUp() override {
    const char* wanted = std::getenv("VARNFILE_CHILD_ROLE");
    if (wanted == nullptr || std::strcmp(wanted, name_) != 0) return;
    const char* argument = std::getenv("VARNFILE_CHILD_ARGUMENT");
    ChildPipes pipes{Descriptor("VARNFILE_CHILD_REPORT", _O_WRONLY),
                     Descriptor("VARNFILE_CHILD_RELEASE", _O_RDONLY)};
    role_(argument != nullptr ? argument : "", pipes);
    std::fflush(nullptr);
    _exit(0);
  }

 private:
  static int Descriptor(const char* variable, int flags) {
    const char* value = std::getenv(variable);
    if (value == nullptr) return -1;
    auto handle = static_cast<intptr_t>(std::strtoull(value, nullptr, 10));
    return _open_osfhandle(handle, flags | _O_BINARY);
  }
  const char* name_;
  ChildRoleFunction role_;
};

// A running copy of this program in a role, with the parent's ends of the
// pipes. The destructor releases the child and waits for it.
class ChildProcess {
 public:
  ChildProcess(const char* role, const std::string& argument) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE reportRead, reportWrite, releaseRead, releaseWrite;
    if (!CreatePipe(&reportRead, &reportWrite, &inherit, 0)) return;
    if (!CreatePipe(&releaseRead, &releaseWrite, &inherit, 0)) return;
    // The parent's ends stay here, or the child would hold its own release.
    SetHandleInformation(reportRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(releaseWrite, HANDLE_FLAG_INHERIT, 0);
    _putenv_s("VARNFILE_CHILD_ROLE", role);
    _putenv_s("VARNFILE_CHILD_ARGUMENT", argument.c_str());
    _putenv_s("VARNFILE_CHILD_REPORT", HandleText(reportWrite).c_str());
    _putenv_s("VARNFILE_CHILD_RELEASE", HandleText(releaseRead).c_str());
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof program);
    std::string commandLine = std::string("\"") + program + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // Under Wine a start fails now and then while the machine is busy: a
    // few more tries before the test reports it.
    for (int attempt = 0; attempt < 5 && process_ == nullptr; ++attempt) {
      if (attempt > 0) Sleep(200);
      if (CreateProcessA(program, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                         &startup, &info)) {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
      }
    }
    for (const char* name : {"VARNFILE_CHILD_ROLE", "VARNFILE_CHILD_ARGUMENT",
                             "VARNFILE_CHILD_REPORT", "VARNFILE_CHILD_RELEASE"})
      _putenv_s(name, "");
    CloseHandle(reportWrite);
    CloseHandle(releaseRead);
    report_ = _open_osfhandle(reinterpret_cast<intptr_t>(reportRead), _O_RDONLY | _O_BINARY);
    release_ = _open_osfhandle(reinterpret_cast<intptr_t>(releaseWrite), _O_WRONLY | _O_BINARY);
  }
  ~ChildProcess() {
    Release();
    Wait();
    if (report_ >= 0) _close(report_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return process_ != nullptr; }
  // The parent's end of the child's reports.
  int report() const { return report_; }
  // Closes the release pipe: the child's read of it ends.
  void Release() {
    if (release_ >= 0) _close(release_);
    release_ = -1;
  }
  // Ends the child at once with exit code KilledExitCode (a child that
  // has exited keeps its own code).
  static constexpr int KilledExitCode = 137;
  void Kill() {
    if (process_ != nullptr) TerminateProcess(process_, KilledExitCode);
  }
  // The exit code, or -1 when there is no child.
  int Wait() {
    if (process_ == nullptr) return -1;
    WaitForSingleObject(process_, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    CloseHandle(process_);
    process_ = nullptr;
    exitCode_ = static_cast<int>(code);
    return exitCode_;
  }
  int exitCode() const { return exitCode_; }

 private:
  static std::string HandleText(HANDLE handle) {
    return std::to_string(reinterpret_cast<uintptr_t>(handle));
  }
  HANDLE process_ = nullptr;
  int report_ = -1;
  int release_ = -1;
  int exitCode_ = -1;
};

}  // namespace varnfile_test

#endif  // _WIN32

#endif  // VARNFILE_TESTS_WINDOWS_CHILD_PROCESS_H_
