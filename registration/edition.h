#pragma once

namespace quillpost {

/// One key and its value as the service definition writes them.
struct KeyValue {
  const char* key;
  const char* value;
};

/// A section the service owns and its keys, in the order they are written.
struct SectionTable {
  const char* section;
  const KeyValue* pairs;
  int count;
};

/// The fixed definition of one edition of Varnholt Quillpost. Table values
/// equal to |dll_name| stand for the provider DLL and are written with the
/// PathDir prefix in front.
struct Edition {
  const char* service_name;  // key in "Services" and the service section
  const char* display_name;  // value in "Services"
  const char* dll_name;      // the provider DLL's file name
  SectionTable sections[3];  // service, address book, transport
};

/// Returns the normal edition (vrqpn.dll) or, when |lite|, the Lite edition.
const Edition& EditionFor(bool lite);

}  // namespace quillpost
