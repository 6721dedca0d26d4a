#include "links/file_link.h"

namespace quorell {

IFileLink::~IFileLink() = default;

}  // namespace quorell
