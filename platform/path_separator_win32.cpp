#include "platform/config_path.h"

namespace quillpost {

const char kPathSeparator = '\\';

}  // namespace quillpost
