// The test module: the framework's name setter and init function come from
// BOOST_TEST_MODULE; main is ours.
#define BOOST_TEST_MODULE QuorzelSingleMotorController
#define BOOST_TEST_NO_MAIN
#include <boost/test/unit_test.hpp>

#include <string>

#include "tester.hpp"

namespace {

namespace ut = boost::unit_test;

// The section that runs is the one named after the running test case.
void runScript(const std::string& file)
{
    _tester tester(file);
    tester.run(ut::framework::current_test_case().p_name);
}

void mainCase() { runScript("qzsmc_test.info"); }
void updateFirmwareCase() { runScript("firmware.info"); }
void speedCase() { runScript("qzsmc_test.info"); }
void limitCase() { runScript("qzsmc_test.info"); }

// Registered with explicit names ("main" cannot name a function); the framework
// runs them in this order.
const ut::ut_detail::auto_test_unit_registrar registerMain(
    BOOST_TEST_CASE_NAME(&mainCase, "main"), ut::decorator::collector_t::instance());
const ut::ut_detail::auto_test_unit_registrar registerUpdateFirmware(
    BOOST_TEST_CASE_NAME(&updateFirmwareCase, "update_firmware"), ut::decorator::collector_t::instance());
const ut::ut_detail::auto_test_unit_registrar registerSpeed(
    BOOST_TEST_CASE_NAME(&speedCase, "speed"), ut::decorator::collector_t::instance());
const ut::ut_detail::auto_test_unit_registrar registerLimit(
    BOOST_TEST_CASE_NAME(&limitCase, "limit"), ut::decorator::collector_t::instance());

}  // namespace

int main(int argc, char* argv[])
{
    return ut::unit_test_main(&init_unit_test, argc, argv);
}
