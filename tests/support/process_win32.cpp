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
  std::wstring wide(command.size() + 1, L'\0');
  wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, wide.data(),
                                                      static_cast<int>(wide.size()))));
  STARTUPINFOW wide_startup = {};
  std::memcpy(&wide_startup, &startup, sizeof startup);  // the same layout but for the strings
  const BOOL started =
      launch.utf8_argv && launch.working_dir.empty()
          ? CreateProcessW(nullptr, wide.data(), nullptr, nullptr, TRUE, 0, env.data(), nullptr,
                           &wide_startup, &info)
          : CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, env.data(),
                           launch.working_dir.empty() ? nullptr : launch.working_dir.c_str(),
                           &startup, &info);
  CloseHandle(out_write);
  output_pipe_ = out_read;
  if (started) {
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = static_cast<int>(info.dwProcessId);
  }
  if (started && launch.hold_input) {
    // Kept to count what the child has not read; no later child inherits it.
    SetHandleInformation(in_read, HANDLE_FLAG_INHERIT, 0);
    unread_pipe_ = in_read;
    input_pipe_ = in_write;
    return;
  }
  CloseHandle(in_read);
  DWORD written;
  if (started && !launch.input.empty()) {
    WriteFile(in_write, launch.input.data(), static_cast<DWORD>(launch.input.size()), &written,
              nullptr);
  }
  CloseHandle(in_write);
}

Child::~Child() {
  if (!waited_ && process_) {
    Kill(0);
    Wait();
  }
  if (unread_pipe_) CloseHandle(static_cast<HANDLE>(unread_pipe_));
}

void Child::Kill(int) {
  if (process_ && !reaped_) TerminateProcess(static_cast<HANDLE>(process_), 1);
}

bool Child::Reap(bool block) {
  if (reaped_ || !process_) return reaped_;
  if (WaitForSingleObject(static_cast<HANDLE>(process_), block ? INFINITE : 0) != WAIT_OBJECT_0) {
    return false;
  }
  DWORD code = 0;
  GetExitCodeProcess(static_cast<HANDLE>(process_), &code);
  status_.exit_status = static_cast<int>(code);
  reaped_ = true;
  return true;
}

// Reading the output blocks: a watchdog ends a child that runs past the
// deadline, which closes the output and ends the read.
Child::Outcome Child::ReadOutput(Until until, const std::string& text, int seconds) {
  if (until == Until::kExit) {
    if (Reap(false)) return Outcome::kMet;
    if (WaitForSingleObject(static_cast<HANDLE>(process_), static_cast<DWORD>(seconds) * 1000) ==
        WAIT_TIMEOUT) {
      return Outcome::kDeadline;
    }
    Reap(true);
    return Outcome::kMet;
  }
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bool timed_out = false;
  std::thread watchdog([this, seconds, stop, &timed_out] {
    HANDLE waits[] = {stop, static_cast<HANDLE>(process_)};
    const DWORD count = process_ && !reaped_ ? 2 : 1;
    if (WaitForMultipleObjects(count, waits, FALSE, static_cast<DWORD>(seconds) * 1000) ==
        WAIT_TIMEOUT) {
      timed_out = true;
      Kill(0);
    }
  });
  Outcome outcome = Outcome::kOutputClosed;
  char buffer[4096];
  DWORD n;
  for (;;) {
    if (until == Until::kText && output_.find(text) != std::string::npos) {
      outcome = Outcome::kMet;
      break;
    }
    if (!output_pipe_ ||
        !ReadFile(static_cast<HANDLE>(output_pipe_), buffer, sizeof buffer, &n, nullptr) ||
        n == 0) {
      if (output_pipe_) CloseHandle(static_cast<HANDLE>(output_pipe_));
      output_pipe_ = nullptr;
      if (until == Until::kOutputClosed) outcome = Outcome::kMet;
      break;
    }
    output_.append(buffer, n);
  }
  SetEvent(stop);
  watchdog.join();
  CloseHandle(stop);
  return timed_out ? Outcome::kDeadline : outcome;
}

bool Child::WaitForOutput(const std::string& text, int deadline_seconds) {
  if (!process_) return false;
  const int seconds = ScaledSeconds(deadline_seconds);
  const Outcome outcome = ReadOutput(Until::kText, text, seconds);
  if (outcome == Outcome::kDeadline) ReportHang(program_, seconds, "\"" + text + "\"");
  return outcome == Outcome::kMet;
}

void Child::Send(const std::string& text) {
  DWORD written;
  if (input_pipe_ && !text.empty()) {
    WriteFile(static_cast<HANDLE>(input_pipe_), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
  }
}

size_t Child::UnreadInput() {
  DWORD unread = 0;
  if (!unread_pipe_ ||
      !PeekNamedPipe(static_cast<HANDLE>(unread_pipe_), nullptr, 0, nullptr, &unread, nullptr)) {
    return 0;
  }
  return unread;
}

ProcessResult Child::WaitForExit(int deadline_seconds) {
  if (!process_) return ProcessResult();
  const int seconds = ScaledSeconds(deadline_seconds);
  if (ReadOutput(Until::kExit, "", seconds) == Outcome::kDeadline) {
    Kill(0);
    Reap(true);
    status_.hung = true;
    ReportHang(program_, seconds);
  }
  ProcessResult result = status_;
  result.output = output_;
  return result;
}

ProcessResult Child::Wait(int deadline_seconds) {
  waited_ = true;
  if (!process_) return ProcessResult();
  const int seconds = ScaledSeconds(deadline_seconds);
  if (ReadOutput(Until::kOutputClosed, "", seconds) == Outcome::kDeadline) {
    status_.hung = true;
    ReportHang(program_, seconds);
  }
  Reap(true);
  CloseHandle(static_cast<HANDLE>(process_));
  process_ = nullptr;
  if (input_pipe_) CloseHandle(static_cast<HANDLE>(input_pipe_));
  input_pipe_ = nullptr;
  ProcessResult result = status_;
  result.output = output_;
  return result;
}

std::string ConsoleText(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

ProcessResult RunProcess(const LaunchOptions& launch) { return Child(launch).Wait(); }

}  // namespace quillpost::test
