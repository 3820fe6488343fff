// Speed and acceleration lookups of _tester: the command's int, else the root default read
// when the section runs, else an error; and the script's reading, byte-order marks included.
#define BOOST_TEST_MODULE tester_lookup
#include <boost/test/unit_test.hpp>

#include <fstream>
#include <iterator>
#include <sstream>

#include <boost/property_tree/info_parser.hpp>

#include "support/process.hpp"
#include "tester.hpp"

namespace pt = boost::property_tree;

namespace {

// "<speed>, <accel>" of the command after running section: each an int, "absent" or the
// conversion error's text.
std::string lookups(const std::string& file, const std::string& section, const std::string& command)
{
    _tester t(file);
    t.run(section);
    std::istringstream text(command);
    pt::ptree cmd;
    pt::read_info(text, cmd);
    const auto lookup = [&](int (_tester::*get)(const pt::ptree&) const) -> std::string {
        try { return std::to_string((t.*get)(cmd)); }
        catch (const pt::ptree_bad_path&) { return "absent"; }
        catch (const pt::ptree_bad_data& e) { return e.what(); }
    };
    return lookup(&_tester::getSpeed) + ", " + lookup(&_tester::getAccel);
}

}  // namespace

BOOST_AUTO_TEST_CASE(speed_and_accel_from_the_command_or_the_root_default)
{
    const std::string defaults = "defaultSpeed 100\ndefaultAccel 7", noInt = "defaultSpeed fast";
    const std::string notInt = "conversion of data to type \"i\" failed: ";
    struct Case { std::string script, section, command, expected; } const cases[] = {  // expected: "<speed>, <accel>"
        {defaults, "main", "speed 250\naccel 3", "250, 3"},
        // a root default stands in for an absent key only
        {defaults, "main", "speed 0x10\naccel 1e5", notInt + "\"speed\" is \"0x10\", " + notInt + "\"accel\" is \"1e5\""},
        {defaults, "main", "speed\naccel 2147483648", notInt + "\"speed\" is \"\", " + notInt + "\"accel\" is \"2147483648\""},
        {defaults, "main", "", "100, 7"},
        {defaults, "speed", "", "absent, absent"},  // no section: the defaults are not read
        {noInt, "main", "speed 40\naccel -2", "40, -2"},
        {noInt, "main", "speed fast\naccel", notInt + "\"speed\" is \"fast\", " + notInt + "\"accel\" is \"\""},
    };
    qz::test::scratchDir dir("qzsmc-lookup");
    for (const Case& c : cases) {
        BOOST_TEST_CONTEXT("script " << c.script << "; run " << c.section << "; command " << c.command)
        {
            qz::test::writeFile(dir.path() / "script.info", c.script + "\nmain\n{\n}\n");
            BOOST_TEST(lookups(dir.file("script.info"), c.section, c.command) == c.expected);
        }
    }
}

BOOST_AUTO_TEST_CASE(a_byte_order_mark_opening_a_script_or_an_included_file_is_skipped)
{
    const std::string mark = "\xEF\xBB\xBF", defaults = "defaultSpeed 100\ndefaultAccel 7\n";
    qz::test::scratchDir dir("qzsmc-lookup");
    const std::string include = "#include \"" + dir.file("in.info") + "\"\n";
    struct Case { const char* what; std::string script, included, expected; } const cases[] = {
        {"the section first", mark + "main\n{\n}\n" + defaults, "", "100, 7"},
        {"a root key first", mark + defaults + "main\n{\n}\n", "", "100, 7"},
        {"an include first", mark + include + "main\n{\n}\n", defaults, "100, 7"},
        {"in the included file", "main\n{\n}\n" + include, mark + defaults, "100, 7"},
        {"an included file of the mark alone", "main\n{\n}\ndefaultSpeed 100\n" + include + "defaultAccel 7\n", mark,
         "100, 7"},
        {"not past the start", "main\n{\n}\ndefaultSpeed 100\n" + mark + "defaultAccel 7\n", "", "100, absent"},
    };
    for (const Case& c : cases) {
        BOOST_TEST_CONTEXT(c.what)
        {
            qz::test::writeFile(dir.path() / "script.info", c.script);
            qz::test::writeFile(dir.path() / "in.info", c.included);
            BOOST_TEST(lookups(dir.file("script.info"), "main", "") == c.expected);
        }
    }
    // Only while the script is read: a file read later keeps its first bytes.
    qz::test::writeFile(dir.path() / "image", mark + "x");
    std::ifstream image(dir.file("image"), std::ios::binary);
    BOOST_TEST(std::string(std::istreambuf_iterator<char>(image), {}) == mark + "x");
}
