#include "zkutility/controller_base_impl.hpp"
#include "zkutility/boot_options.hpp"

namespace zk {
namespace hw {

template class controller_base<boot::options>;

}  // namespace hw
}  // namespace zk
