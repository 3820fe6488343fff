// The device error family, checked when this file compiles: each error belongs to the deviceError
// of its own controller instantiation only, every family is a std::exception and a boost::exception,
// and zk::NetworkError belongs to none. A real throw site is checked in net_tcp_test.
#include <exception>
#include <type_traits>

#include <boost/exception/exception.hpp>

#include "qzsmc/controller.hpp"
#include "zkutility/boot_options.hpp"

namespace {

using board = zk::hw::controller_base<qz::smc::device_options>;
using boot = zk::hw::controller_base<zk::hw::boot::options>;
using smc = qz::smc::controller;

template <class Base, class... E>
constexpr int in = (0 + ... + int(std::is_base_of_v<Base, E>));
template <class F, class L>  // how many of link L's own errors family F holds
constexpr int linkErrorsIn = in<typename F::deviceError, typename L::errorDeviceNotFound,
                                typename L::errorSocketNotInitialized, typename L::errorTCPCommandConfirmationTimeout,
                                typename L::errorWrongMessageHeader>;
template <class F>  // how many of the motor controller's errors family F holds
constexpr int smcErrorsIn = in<typename F::deviceError, smc::errorNoSolution, smc::errorZeroSpeed,
                               smc::errorZeroAcceleration, smc::errorProgramAddress, smc::errorLimitSwitchSticky,
                               smc::errorDeviceHung, smc::errorLimitSwitchUnreachable,
                               smc::errorMicrostepResolution, smc::errorCommandRefused>;

static_assert(in<std::exception, board::deviceError, boot::deviceError, zk::NetworkError> == 3);
static_assert(in<boost::exception, board::deviceError, boot::deviceError, zk::NetworkError> == 3);
static_assert(linkErrorsIn<board, board> == 4 && linkErrorsIn<boot, boot> == 4);
static_assert(linkErrorsIn<board, boot> == 0 && linkErrorsIn<boot, board> == 0);
static_assert(smcErrorsIn<board> == 9 && smcErrorsIn<boot> == 0);
static_assert(in<board::deviceError, zk::NetworkError> + in<boot::deviceError, zk::NetworkError> == 0);

}  // namespace
