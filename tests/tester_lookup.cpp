// Speed and acceleration lookups of _tester: the command's int, else the root default read
// when the section runs, else an error.
#define BOOST_TEST_MODULE tester_lookup
#include <boost/test/unit_test.hpp>

#include <sstream>

#include <boost/property_tree/info_parser.hpp>

#include "support/process.hpp"
#include "tester.hpp"

namespace pt = boost::property_tree;

BOOST_AUTO_TEST_CASE(speed_and_accel_from_the_command_or_the_root_default)
{
    const std::string defaults = "defaultSpeed 100\ndefaultAccel 7", noInt = "defaultSpeed fast";
    struct Case { std::string script, section, command, expected; } const cases[] = {  // expected: "<speed>, <accel>"
        {defaults, "main", "speed 250\naccel 3", "250, 3"},
        {defaults, "main", "speed fast\naccel 1.5", "100, 7"},
        {defaults, "main", "", "100, 7"},
        {defaults, "speed", "", "absent, absent"},  // no section: the defaults are not read
        {noInt, "main", "speed 40\naccel -2", "40, -2"},
        {noInt, "main", "speed fast\naccel", "not an int, not an int"},
    };
    qz::test::scratchDir dir("qzsmc-lookup");
    for (const Case& c : cases) {
        BOOST_TEST_CONTEXT("script " << c.script << "; run " << c.section << "; command " << c.command)
        {
            qz::test::writeFile(dir.path() / "script.info", c.script + "\nmain\n{\n}\n");
            _tester t(dir.file("script.info"));
            t.run(c.section);
            std::istringstream command(c.command);
            pt::ptree cmd;
            pt::read_info(command, cmd);
            const auto lookup = [&](int (_tester::*get)(const pt::ptree&) const) -> std::string {
                try { return std::to_string((t.*get)(cmd)); }
                catch (const pt::ptree_bad_path&) { return "absent"; }
                catch (const pt::ptree_bad_data&) { return "not an int"; }
            };
            BOOST_TEST(lookup(&_tester::getSpeed) + ", " + lookup(&_tester::getAccel) == c.expected);
        }
    }
}
