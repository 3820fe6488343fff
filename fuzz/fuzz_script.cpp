// The terminal's script reader and command loop on any bytes, without a board. Each input is the
// INFO script of the four test cases, which run as in the terminal, inside the test framework, so
// a failed REQUIRE ends its case there as well. Every input must end in checks (passed or failed)
// or an error the framework records, never a crash.
//
// Nothing reaches a network: the commands that send ("search", "displayConfig",
// "configure_network", "connect", "updateFirmware") are left out of the table, so they fail as
// unknown commands, and the process runs in a network namespace of its own with no interface up.
// "sleep" is left out too (a script may sleep for weeks), and standard input is /dev/null, so
// "query" returns at once. Without "connect" every device command ends at its guard.
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include <boost/log/core.hpp>
#include <boost/test/unit_test.hpp>

#include "tester.hpp"

namespace ut = boost::unit_test;

struct scriptFuzzer {
    static void leaveOutNetworkAndSleep(_tester& t)
    {
        for (const char* name : {"search", "displayConfig", "configure_network", "connect", "updateFirmware", "sleep"})
            t.commands_.erase(name);
    }
};

namespace {

std::string script;  // the file each input is written to

void runCase()
{
    _tester tester(script);
    scriptFuzzer::leaveOutNetworkAndSleep(tester);
    tester.run(ut::framework::current_test_case().p_name);
}

bool registerCases()
{
    for (const char* name : {"main", "update_firmware", "speed", "limit"})
        ut::framework::master_test_suite().add(ut::make_test_case(&runCase, name, __FILE__, __LINE__));
    return true;
}

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Root only, as the networked tests: with no interface, nothing sent could go anywhere.
    if (::unshare(CLONE_NEWNET) != 0)
        fail("fuzz_script: a network namespace of its own (run as root)");
    if (!std::freopen("/dev/null", "r", stdin))
        fail("fuzz_script: /dev/null as standard input");
    static std::ofstream nowhere("/dev/null");
    std::cout.rdbuf(nowhere.rdbuf());
    boost::log::core::get()->set_logging_enabled(false);

    char dir[] = "/tmp/fuzz_script.XXXXXX";
    if (!::mkdtemp(dir))
        fail("fuzz_script: scratch directory");
    script = std::string(dir) + "/qzsmc_test.info";
    std::atexit([] {
        std::remove(script.c_str());
        ::rmdir(script.substr(0, script.rfind('/')).c_str());
    });

    // The framework's own signal handlers would hide a crash from the fuzzer.
    static char arg0[] = "fuzz_script", logLevel[] = "--log_level=nothing", reportLevel[] = "--report_level=no",
                signals[] = "--catch_system_errors=no";
    static char* argv[] = {arg0, logLevel, reportLevel, signals, nullptr};
    ut::framework::init(&registerCases, 4, argv);
    ut::framework::finalize_setup_phase();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    {
        std::ofstream out(script, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    ut::framework::run();
    return 0;
}
