#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "tests/support/process.h"

namespace quillpost::test {
namespace {

// Quotes one argument by the rules the C runtime uses to split it again.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

// The test's own environment with |changes| applied, as a Windows block.
std::string EnvironmentBlock(const std::vector<std::pair<std::string, std::string>>& changes) {
  std::map<std::string, std::string> vars;
  char* block = GetEnvironmentStringsA();
  for (const char* p = block; *p; p += std::strlen(p) + 1) {
    const std::string entry = p;
    const size_t eq = entry.find('=', 1);
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  FreeEnvironmentStringsA(block);
  for (const auto& [name, value] : changes) {
    if (value.empty()) {
      vars.erase(name);
    } else {
      vars[name] = value;
    }
  }
  std::string out;
  for (const auto& [name, value] : vars) out += name + "=" + value + '\0';
  return out + '\0';
}

}  // namespace

Child::Child(const LaunchOptions& launch) {
  program_ = launch.argv.empty() ? "" : launch.argv[0];
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out_read, out_write, in_read, in_write;
  if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return;
  if (!CreatePipe(&in_read, &in_write, &inherit, 0)) return;
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);

  std::string command;
  for (const std::string& arg : launch.argv) command += (command.empty() ? "" : " ") + Quote(arg);
  std::string env = EnvironmentBlock(launch.env);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = launch.close_input ? nullptr : in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  const BOOL started = CreateProcessA(
      nullptr, command.data(), nullptr, nullptr, TRUE, 0, env.data(),
      launch.working_dir.empty() ? nullptr : launch.working_dir.c_str(), &startup, &info);
  CloseHandle(out_write);
  CloseHandle(in_read);
  if (started) {
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = static_cast<int>(info.dwProcessId);
    DWORD written;
    if (!launch.input.empty()) {
      WriteFile(in_write, launch.input.data(), static_cast<DWORD>(launch.input.size()), &written,
                nullptr);
    }
  }
  CloseHandle(in_write);
  output_ = out_read;
}

Child::~Child() {
  if (!waited_ && process_) {
    TerminateProcess(static_cast<HANDLE>(process_), 1);
    Wait();
  }
}

void Child::Kill(int) { TerminateProcess(static_cast<HANDLE>(process_), 1); }

ProcessResult Child::Wait(int deadline_seconds) {
  ProcessResult result;
  waited_ = true;
  const int seconds = ScaledSeconds(deadline_seconds);
  // Reading the output blocks until the child ends: a watchdog ends a child
  // that runs past its deadline.
  std::thread watchdog;
  if (process_) {
    watchdog = std::thread([this, seconds, &result] {
      const HANDLE process = static_cast<HANDLE>(process_);
      if (WaitForSingleObject(process, static_cast<DWORD>(seconds) * 1000) == WAIT_TIMEOUT) {
        result.hung = true;
        TerminateProcess(process, 1);
      }
    });
  }
  char buffer[4096];
  DWORD n;
  while (output_ && ReadFile(static_cast<HANDLE>(output_), buffer, sizeof buffer, &n, nullptr) &&
         n > 0) {
    result.output.append(buffer, n);
  }
  if (output_) CloseHandle(static_cast<HANDLE>(output_));
  output_ = nullptr;
  if (watchdog.joinable()) watchdog.join();
  if (process_) {
    WaitForSingleObject(static_cast<HANDLE>(process_), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(static_cast<HANDLE>(process_), &code);
    result.exit_status = static_cast<int>(code);
    CloseHandle(static_cast<HANDLE>(process_));
    process_ = nullptr;
  }
  if (result.hung) ReportHang(program_, seconds);
  return result;
}

std::string ConsoleText(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

ProcessResult RunProcess(const LaunchOptions& launch) { return Child(launch).Wait(); }

}  // namespace quillpost::test
