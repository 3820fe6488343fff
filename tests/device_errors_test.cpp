// Device errors: which handlers catch each error of the two controller
// instantiations and zk::NetworkError, and what a thrown error carries.
#define BOOST_TEST_MODULE device_errors
#include <boost/test/unit_test.hpp>

#include <exception>
#include <string>
#include <type_traits>

#include <boost/exception/diagnostic_information.hpp>
#include <boost/exception/get_error_info.hpp>
#include <boost/mpl/list.hpp>
#include <boost/throw_exception.hpp>

#include "qzsmc/controller.hpp"
#include "zkutility/boot_options.hpp"
#include "zkutility/controller_base.hpp"
#include "zkutility/utility.hpp"

namespace {

using board = zk::hw::controller_base<qz::smc::device_options>;
using boot = zk::hw::controller_base<zk::hw::boot::options>;
using smc = qz::smc::controller;

// An error and the family that must catch it; the other instantiation must not.
template <class E, class Own>
struct errorCase {
    using error = E;
    using own = Own;
    using other = std::conditional_t<std::is_same<Own, board>::value, boot, board>;
};
template <class E>
using ofBoard = errorCase<E, board>;
template <class E>
using ofBoot = errorCase<E, boot>;

using deviceErrors = boost::mpl::list<
    ofBoard<board::errorDeviceNotFound>, ofBoard<board::errorSocketNotInitialized>,
    ofBoard<board::errorTCPCommandConfirmationTimeout>, ofBoard<board::errorWrongMessageHeader>,
    ofBoot<boot::errorDeviceNotFound>, ofBoot<boot::errorSocketNotInitialized>,
    ofBoot<boot::errorTCPCommandConfirmationTimeout>, ofBoot<boot::errorWrongMessageHeader>,
    ofBoard<smc::errorNoSolution>, ofBoard<smc::errorZeroSpeed>, ofBoard<smc::errorZeroAcceleration>,
    ofBoard<smc::errorProgramAddress>, ofBoard<smc::errorLimitSwitchSticky>, ofBoard<smc::errorDeviceHung>,
    ofBoard<smc::errorLimitSwitchUnreachable>>;

template <class Handler, class F>
bool catches(F raise)
{
    try {
        raise();
    } catch (const Handler&) {
        return true;
    } catch (...) {
    }
    return false;
}

// Throws from a known place; the error must record this line and function.
int throwLine = 0;
std::string throwFunction;

void throwNetworkError(int code)
{
    throwFunction = BOOST_CURRENT_FUNCTION;
    throwLine = __LINE__ + 1;
    BOOST_THROW_EXCEPTION(zk::NetworkError() << zk::netInfo(code));
}

}  // namespace

BOOST_AUTO_TEST_CASE_TEMPLATE(errors_reach_their_own_family_only, C, deviceErrors)
{
    const auto raise = [] { BOOST_THROW_EXCEPTION(typename C::error()); };
    BOOST_TEST(catches<typename C::own::deviceError>(raise));
    BOOST_TEST(!catches<typename C::other::deviceError>(raise));
    BOOST_TEST(catches<std::exception>(raise));
    BOOST_TEST(catches<boost::exception>(raise));
    try {
        raise();
    } catch (const boost::exception& e) {
        BOOST_TEST(!boost::get_error_info<zk::netInfo>(e));
        BOOST_TEST(!boost::get_error_info<zk::hw::sizeInfo>(e));
        BOOST_TEST(!boost::get_error_info<zk::hw::devInfo>(e));
    }
}

BOOST_AUTO_TEST_CASE(network_error_is_no_device_error)
{
    const auto raise = [] { throwNetworkError(11001); };
    BOOST_TEST(!catches<board::deviceError>(raise));
    BOOST_TEST(!catches<boot::deviceError>(raise));
    BOOST_TEST(catches<std::exception>(raise));
    BOOST_TEST(catches<boost::exception>(raise));
}

BOOST_AUTO_TEST_CASE(detail_values_and_throw_site)
{
    try {
        throwNetworkError(-3);
        BOOST_ERROR("nothing thrown");
    } catch (const zk::NetworkError& e) {
        const int* code = boost::get_error_info<zk::netInfo>(e);
        BOOST_TEST_REQUIRE(code);
        BOOST_TEST(*code == -3);
        BOOST_TEST(!boost::get_error_info<zk::hw::sizeInfo>(e));
        const std::string text = boost::diagnostic_information(e);
        BOOST_TEST_CONTEXT(text)
        {
            BOOST_TEST(text.find(__FILE__) != std::string::npos);
            BOOST_TEST(text.find("(" + std::to_string(throwLine) + ")") != std::string::npos);
            BOOST_TEST(text.find(throwFunction) != std::string::npos);
            BOOST_TEST(text.find("] = -3") != std::string::npos);
        }
    }
    try {
        BOOST_THROW_EXCEPTION(smc::errorProgramAddress() << zk::hw::sizeInfo(0xFFFFFFFFu));
    } catch (const board::deviceError& e) {
        const unsigned int* size = boost::get_error_info<zk::hw::sizeInfo>(e);
        BOOST_TEST_REQUIRE(size);
        BOOST_TEST(*size == 0xFFFFFFFFu);
        BOOST_TEST(!boost::get_error_info<zk::netInfo>(e));
    }
}
