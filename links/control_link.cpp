#include "links/control_link.h"

namespace quorell {

IControlLink::~IControlLink() = default;

}  // namespace quorell
