// Device errors: which handlers catch each error of the two controller
// instantiations and zk::NetworkError, and what a thrown error carries.
#define BOOST_TEST_MODULE device_errors
#include <boost/test/unit_test.hpp>

#include <exception>
#include <string>
#include <type_traits>

#include <boost/core/demangle.hpp>
#include <boost/exception/diagnostic_information.hpp>
#include <boost/exception/get_error_info.hpp>
#include <boost/exception_ptr.hpp>
#include <boost/mpl/list.hpp>
#include <boost/throw_exception.hpp>

#include "qzsmc/controller.hpp"
#include "qzsmc/device_options.hpp"
#include "zkutility/boot_options.hpp"
#include "zkutility/controller_base.hpp"
#include "zkutility/utility.hpp"

namespace {

using board = zk::hw::controller_base<qz::smc::device_options>;
using boot = zk::hw::controller_base<zk::hw::boot::options>;

// The detail values are read back with exactly these types.
static_assert(std::is_same<zk::netInfo, boost::error_info<zk::tagNetInfo, int>>::value, "netInfo is <tagNetInfo,int>");
static_assert(std::is_same<zk::hw::sizeInfo::value_type, unsigned int>::value, "sizeInfo carries unsigned int");
static_assert(std::is_same<zk::hw::devInfo::value_type, boost::system::error_code>::value,
              "devInfo carries an error_code");

// An error, the controller it belongs to and the other instantiation.
template <class E, class Own, class Other>
struct errorCase {
    using error = E;
    using own = Own;
    using other = Other;
};

using deviceErrors = boost::mpl::list<
    errorCase<board::errorDeviceNotFound, board, boot>,
    errorCase<board::errorSocketNotInitialized, board, boot>,
    errorCase<board::errorTCPCommandConfirmationTimeout, board, boot>,
    errorCase<board::errorWrongMessageHeader, board, boot>,
    errorCase<boot::errorDeviceNotFound, boot, board>,
    errorCase<boot::errorSocketNotInitialized, boot, board>,
    errorCase<boot::errorTCPCommandConfirmationTimeout, boot, board>,
    errorCase<boot::errorWrongMessageHeader, boot, board>,
    // The motor controller's own errors belong to the board's family.
    errorCase<qz::smc::controller::errorNoSolution, board, boot>,
    errorCase<qz::smc::controller::errorZeroSpeed, board, boot>,
    errorCase<qz::smc::controller::errorZeroAcceleration, board, boot>,
    errorCase<qz::smc::controller::errorProgramAddress, board, boot>,
    errorCase<qz::smc::controller::errorLimitSwitchSticky, board, boot>,
    errorCase<qz::smc::controller::errorDeviceHung, board, boot>,
    errorCase<qz::smc::controller::errorLimitSwitchUnreachable, board, boot>>;

// Which handlers a thrown exception reaches.
struct reached {
    bool byOwnDeviceError = false;
    bool byOtherDeviceError = false;
    bool byStd = false;
    bool byBoost = false;
};

template <class Own, class Other>
reached whoCatches(const std::exception_ptr& thrown)
{
    reached r;
    try { std::rethrow_exception(thrown); } catch (const typename Own::deviceError&) { r.byOwnDeviceError = true; } catch (...) {}
    try { std::rethrow_exception(thrown); } catch (const typename Other::deviceError&) { r.byOtherDeviceError = true; } catch (...) {}
    try { std::rethrow_exception(thrown); } catch (const std::exception&) { r.byStd = true; } catch (...) {}
    try { std::rethrow_exception(thrown); } catch (const boost::exception&) { r.byBoost = true; } catch (...) {}
    return r;
}

template <class E>
std::exception_ptr thrownPlain()
{
    try {
        BOOST_THROW_EXCEPTION(E());
    } catch (...) {
        return std::current_exception();
    }
    return {};
}

// Throws from a known place; line and function are what the error must record.
int throwLine = 0;
std::string throwFunction;

void throwNetworkError(int code)
{
    throwFunction = BOOST_CURRENT_FUNCTION;
    throwLine = __LINE__ + 1;
    BOOST_THROW_EXCEPTION(zk::NetworkError() << zk::netInfo(code));
}

template <class E>
void throwBare()
{
    throwFunction = BOOST_CURRENT_FUNCTION;
    throwLine = __LINE__ + 1;
    BOOST_THROW_EXCEPTION(E());
}

}  // namespace

BOOST_AUTO_TEST_SUITE(device_errors)

BOOST_AUTO_TEST_CASE_TEMPLATE(errors_reach_their_own_family_only, C, deviceErrors)
{
    using E = typename C::error;
    const std::exception_ptr thrown = thrownPlain<E>();
    const reached r = whoCatches<typename C::own, typename C::other>(thrown);
    BOOST_TEST(r.byOwnDeviceError, "not caught by its own instantiation's deviceError");
    BOOST_TEST(!r.byOtherDeviceError, "caught by the other instantiation's deviceError");
    BOOST_TEST(r.byStd, "not caught by std::exception");
    BOOST_TEST(r.byBoost, "not caught by boost::exception");

    try {
        std::rethrow_exception(thrown);
    } catch (const boost::wrapexcept<E>& e) {
        BOOST_TEST(std::string(e.what()) == std::exception().what(),
                   "what() is \"" << e.what() << "\", not the standard default text");
        // Without a detail value every tag reads back as null.
        BOOST_TEST(!boost::get_error_info<zk::netInfo>(e), "netInfo present on an error thrown without detail");
        BOOST_TEST(!boost::get_error_info<zk::hw::sizeInfo>(e), "sizeInfo present on an error thrown without detail");
        BOOST_TEST(!boost::get_error_info<zk::hw::devInfo>(e), "devInfo present on an error thrown without detail");
    } catch (...) {
        BOOST_ERROR("BOOST_THROW_EXCEPTION did not throw boost::wrapexcept of the error class");
    }

    // Clonable for transport between threads: the copy is the same class again.
    boost::exception_ptr copy;
    try {
        std::rethrow_exception(thrown);
    } catch (...) {
        copy = boost::current_exception();
    }
    bool sameClass = false;
    try {
        boost::rethrow_exception(copy);
    } catch (const E&) {
        sameClass = true;
    } catch (...) {
    }
    BOOST_TEST(sameClass, "boost::current_exception lost the error class");
}

BOOST_AUTO_TEST_CASE(network_error_is_not_a_device_error)
{
    std::exception_ptr thrown;
    try {
        throwNetworkError(11001);
    } catch (...) {
        thrown = std::current_exception();
    }
    const reached r = whoCatches<board, boot>(thrown);
    BOOST_TEST(!r.byOwnDeviceError, "zk::NetworkError caught by the board's deviceError");
    BOOST_TEST(!r.byOtherDeviceError, "zk::NetworkError caught by the boot loader's deviceError");
    BOOST_TEST(r.byStd, "zk::NetworkError not caught by std::exception");
    BOOST_TEST(r.byBoost, "zk::NetworkError not caught by boost::exception");

    bool wrapped = false;
    try {
        std::rethrow_exception(thrown);
    } catch (const boost::wrapexcept<zk::NetworkError>& e) {
        wrapped = true;
        BOOST_TEST(std::string(e.what()) == std::exception().what(),
                   "what() is \"" << e.what() << "\", not the standard default text");
    } catch (...) {
    }
    BOOST_TEST(wrapped, "BOOST_THROW_EXCEPTION did not throw boost::wrapexcept<zk::NetworkError>");
}

// A type derived from two error families must still be one std::exception and
// one boost::exception; that needs both bases virtual.
BOOST_AUTO_TEST_CASE(bases_are_shared_between_families)
{
    struct both : board::errorWrongMessageHeader, zk::NetworkError {};
    std::exception_ptr thrown;
    try {
        throw both();  // plain throw: with non-virtual bases this still builds and the catches below fail
    } catch (...) {
        thrown = std::current_exception();
    }
    const reached r = whoCatches<board, boot>(thrown);
    BOOST_TEST(r.byOwnDeviceError, "mixed error not caught by the board's deviceError");
    BOOST_TEST(r.byStd, "mixed error not caught by std::exception (base not virtual?)");
    BOOST_TEST(r.byBoost, "mixed error not caught by boost::exception (base not virtual?)");
}

BOOST_AUTO_TEST_CASE(detail_values)
{
    struct detailCase {
        const char* name;
        int code;
    };
    for (const detailCase& c : {detailCase{"resolver code", 11001}, detailCase{"negative code", -3},
                                detailCase{"zero", 0}}) {
        BOOST_TEST_CONTEXT("netInfo: " << c.name)
        {
            try {
                throwNetworkError(c.code);
                BOOST_ERROR("nothing thrown");
            } catch (const zk::NetworkError& e) {
                const int* code = boost::get_error_info<zk::netInfo>(e);
                BOOST_TEST_REQUIRE(code, "netInfo missing from the thrown NetworkError");
                BOOST_TEST(*code == c.code, "netInfo " << *code << ", expected " << c.code);
                BOOST_TEST(!boost::get_error_info<zk::hw::sizeInfo>(e), "sizeInfo present on a NetworkError");
                BOOST_TEST(!boost::get_error_info<zk::hw::devInfo>(e), "devInfo present on a NetworkError");

                // A copy shares the attached value.
                const zk::NetworkError copy = e;
                const int* copied = boost::get_error_info<zk::netInfo>(copy);
                BOOST_TEST((copied && *copied == c.code), "the copy lost netInfo");
            }
        }
    }

    // sizeInfo carries a full unsigned int (program end = length + load address).
    for (unsigned int end : {0u, 0x12345678u, 0xFFFFFFFFu}) {
        BOOST_TEST_CONTEXT("sizeInfo " << end)
        {
            try {
                BOOST_THROW_EXCEPTION(board::errorWrongMessageHeader() << zk::hw::sizeInfo(end));
            } catch (const board::deviceError& e) {
                const unsigned int* size = boost::get_error_info<zk::hw::sizeInfo>(e);
                BOOST_TEST_REQUIRE(size, "sizeInfo missing");
                BOOST_TEST(*size == end, "sizeInfo " << *size << ", expected " << end);
                BOOST_TEST(!boost::get_error_info<zk::netInfo>(e), "netInfo present beside sizeInfo");
            }
        }
    }
}

BOOST_AUTO_TEST_CASE(diagnostic_information_names_the_throw_site)
{
    struct siteCase {
        const char* name;
        void (*thrower)();
        std::string type;   // dynamic type name the text must contain
        std::string value;  // attached value as listed, empty for none
    };
    const siteCase cases[] = {
        {"NetworkError with netInfo", [] { throwNetworkError(10093); }, "NetworkError", "] = 10093"},
        {"board errorDeviceNotFound", throwBare<board::errorDeviceNotFound>, "errorDeviceNotFound", ""},
        {"boot errorTCPCommandConfirmationTimeout", throwBare<boot::errorTCPCommandConfirmationTimeout>,
         "errorTCPCommandConfirmationTimeout", ""},
    };
    for (const siteCase& c : cases) {
        BOOST_TEST_CONTEXT("case: " << c.name)
        {
            try {
                c.thrower();
                BOOST_ERROR("nothing thrown");
            } catch (const boost::exception& e) {
                const std::string text = boost::diagnostic_information(e);
                BOOST_TEST_CONTEXT("diagnostic information:\n" << text)
                {
                    BOOST_TEST(text.find(__FILE__) != std::string::npos, "file of the throw site missing");
                    BOOST_TEST(text.find("(" + std::to_string(throwLine) + ")") != std::string::npos,
                               "line " << throwLine << " of the throw site missing");
                    BOOST_TEST(text.find(throwFunction) != std::string::npos,
                               "function signature \"" << throwFunction << "\" missing");
                    BOOST_TEST(text.find(c.type) != std::string::npos, "dynamic type " << c.type << " missing");
                    if (!c.value.empty())
                        BOOST_TEST(text.find(c.value) != std::string::npos, "detail value \"" << c.value << "\" missing");
                }
            }
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()
