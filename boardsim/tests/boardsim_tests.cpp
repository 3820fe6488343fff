#define BOOST_TEST_MODULE boardsim
#include <boost/test/unit_test.hpp>
