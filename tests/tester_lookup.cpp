// Speed and acceleration lookups of _tester: command value, root default, and
// the errors when neither gives an int.
#define BOOST_TEST_MODULE tester_lookup
#include <boost/test/unit_test.hpp>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/info_parser.hpp>

#include "tester.hpp"

namespace fs = std::filesystem;
namespace pt = boost::property_tree;

namespace {

// Builds a _tester from a script written to a scratch file and runs `section`.
std::unique_ptr<_tester> testerFor(const std::string& script, const std::string& section = "main")
{
    std::string dir = (fs::temp_directory_path() / "qzsmc-lookup-XXXXXX").string();
    BOOST_REQUIRE(mkdtemp(dir.data()) != nullptr);
    const fs::path file = fs::path(dir) / "script.info";
    std::ofstream(file) << script;
    auto tester = std::make_unique<_tester>(file.string());
    fs::remove_all(dir);
    tester->run(section);
    return tester;
}

pt::ptree command(const std::string& info)
{
    std::istringstream in(info);
    pt::ptree tree;
    pt::read_info(in, tree);
    return tree;
}

}  // namespace

BOOST_AUTO_TEST_CASE(root_defaults_fill_in_for_missing_or_bad_values)
{
    const auto t = testerFor("defaultSpeed 100\ndefaultAccel 7\nmain\n{\n}\n");
    BOOST_TEST(t->getSpeed(command("speed 250\naccel 3")) == 250);
    BOOST_TEST(t->getAccel(command("speed 250\naccel 3")) == 3);
    BOOST_TEST(t->getSpeed(command("accel 3")) == 100);
    BOOST_TEST(t->getAccel(command("speed 250")) == 7);
    BOOST_TEST(t->getSpeed(command("speed fast")) == 100);
    BOOST_TEST(t->getAccel(command("accel 1.5")) == 7);
}

BOOST_AUTO_TEST_CASE(without_root_default_the_command_must_give_an_int)
{
    // A root default that is not an int counts as absent.
    const auto t = testerFor("defaultSpeed fast\nmain\n{\n}\n");
    BOOST_TEST(t->getSpeed(command("speed 40")) == 40);
    BOOST_TEST(t->getAccel(command("accel -2")) == -2);
    BOOST_CHECK_THROW(t->getSpeed(command("accel 3")), pt::ptree_bad_path);
    BOOST_CHECK_THROW(t->getAccel(command("speed 3")), pt::ptree_bad_path);
    BOOST_CHECK_THROW(t->getSpeed(command("speed fast")), pt::ptree_bad_data);
    BOOST_CHECK_THROW(t->getAccel(command("accel")), pt::ptree_bad_data);
}

BOOST_AUTO_TEST_CASE(defaults_are_read_only_when_the_section_runs)
{
    // No section "speed": run returns before reading the root defaults.
    const auto t = testerFor("defaultSpeed 100\ndefaultAccel 7\nmain\n{\n}\n", "speed");
    BOOST_CHECK_THROW(t->getSpeed(pt::ptree()), pt::ptree_bad_path);
    BOOST_CHECK_THROW(t->getAccel(pt::ptree()), pt::ptree_bad_path);
}
