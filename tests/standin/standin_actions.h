#pragma once

#include <string>

// The parts of the stand-in messaging library that differ by platform.

namespace quillpost::standin {

/// Appends |text| to the record file named by STANDIN_RECORD.
void Record(const std::string& text);

/// Faults on a null pointer.
void FaultOnNull();

/// The path of the service configuration file, formed the tests' own way
/// ("" when there is no system directory).
std::string ConfigFilePath();

/// Does the platform's own action |name| of STANDIN_MODE, with the number or
/// text after its colon; does nothing for a name it does not know. Returns
/// true when this process is to return from the wizard at once.
bool PlatformAction(const std::string& name, int number, const std::string& text);

}  // namespace quillpost::standin
