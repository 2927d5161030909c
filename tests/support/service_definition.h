#pragma once

// The service definition as literal bytes: what provreg writes into an empty
// system directory, line by line in the order of its 19 writes. Tests take
// their expectations from here, never from the writer or the engine.

#include <string>
#include <vector>

namespace quillpost::test {

inline const char kNormalFile[] =
    "[Services]\r\n"
    "VRQPN=Varnholt Quillpost\r\n"
    "[VRQPN]\r\n"
    "PR_DISPLAY_NAME=Varnholt Quillpost\r\n"
    "PR_RESOURCE_FLAGS=SERVICE_SINGLE_COPY\r\n"
    "Providers=VRQPN_AB, VRQPN_XP\r\n"
    "PR_SERVICE_DLL_NAME=C:\\QP\\vrqpn.dll\r\n"
    "PR_SERVICE_SUPPORT_FILES=C:\\QP\\vrqpn.dll\r\n"
    "PR_SERVICE_DELETE_FILES=C:\\QP\\vrqpn.dll\r\n"
    "PR_SERVICE_ENTRY_NAME=ServiceEntry\r\n"
    "WIZARD_ENTRY_NAME=QuillpostWizard\r\n"
    "[VRQPN_AB]\r\n"
    "PR_RESOURCE_TYPE=MAPI_AB_PROVIDER\r\n"
    "PR_RESOURCE_FLAGS=STATUS_PRIMARY_IDENTITY\r\n"
    "PR_PROVIDER_DLL_NAME=C:\\QP\\vrqpn.dll\r\n"
    "PR_PROVIDER_DISPLAY=Quillpost Address Book\r\n"
    "PR_DISPLAY_NAME=Quillpost Address Book\r\n"
    "[VRQPN_XP]\r\n"
    "PR_RESOURCE_TYPE=MAPI_TRANSPORT_PROVIDER\r\n"
    "PR_RESOURCE_FLAGS=STATUS_PRIMARY_IDENTITY\r\n"
    "PR_PROVIDER_DLL_NAME=C:\\QP\\vrqpn.dll\r\n"
    "PR_PROVIDER_DISPLAY=Quillpost Courier\r\n"
    "PR_DISPLAY_NAME=Quillpost Courier\r\n";

inline void ReplaceAll(std::string* s, const std::string& from, const std::string& to) {
  for (size_t at = s->find(from); at != std::string::npos; at = s->find(from, at + to.size())) {
    s->replace(at, from.size(), to);
  }
}

/// Returns the file that one run writes into an empty system directory.
inline std::string DefinitionText(bool lite, const std::string& prefix) {
  std::string text = kNormalFile;
  ReplaceAll(&text, "C:\\QP\\vrqpn.dll", prefix + (lite ? "vrqpl.dll" : "vrqpn.dll"));
  if (lite) {
    ReplaceAll(&text, "VRQPN", "VRQPL");
    ReplaceAll(&text, "=Varnholt Quillpost\r", "=Varnholt Quillpost Lite\r");
  }
  return text;
}

/// One write of a run: section, key, value.
struct DefinitionWrite {
  std::string section, key, value;
};

/// Returns the 19 writes of a run in their order, read off DefinitionText.
inline std::vector<DefinitionWrite> DefinitionWrites(bool lite, const std::string& prefix) {
  const std::string text = DefinitionText(lite, prefix);
  std::vector<DefinitionWrite> writes;
  std::string section;
  size_t begin = 0;
  for (size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    const std::string line = text.substr(begin, end - begin);
    const size_t eq = line.find('=');
    if (line[0] == '[') {
      section = line.substr(1, line.size() - 2);
    } else {
      writes.push_back({section, line.substr(0, eq), line.substr(eq + 1)});
    }
  }
  return writes;
}

}  // namespace quillpost::test
