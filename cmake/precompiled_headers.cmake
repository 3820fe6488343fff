# One precompiled header per build tree for the heavy library headers: parsing Asio, Log, Thread,
# Format and the rest took about a third of a translation unit's compile time, again in every unit.
# The tree's targets all reuse it (qz_use_precompiled_headers at the end of the top-level file);
# a target that must not sets DISABLE_PRECOMPILE_HEADERS, a tree that must not is configured with
# -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON (a build that way shows a missing #include the header hides).
#
# Boost.Test stays out: a test file defines BOOST_TEST_MODULE before it includes unit_test.hpp, and
# a header included ahead of the file would be included without it (no main, no module name).

# A precompiled header is used only where every macro it depends on is defined as when it was
# built. The Boost targets each add their own BOOST_<LIB>_DYN_LINK, so targets linking different
# libraries would differ; define all of them everywhere (BOOST_ALL_DYN_LINK says the same anyway).
function(qz_uniform_boost_definitions)
  set(queue ${ARGN})
  set(seen)
  set(definitions)
  while(queue)
    list(POP_FRONT queue target)
    if(target IN_LIST seen OR NOT TARGET ${target})
      continue()
    endif()
    list(APPEND seen ${target})
    get_target_property(defs ${target} INTERFACE_COMPILE_DEFINITIONS)
    if(defs)
      list(APPEND definitions ${defs})
    endif()
    get_target_property(deps ${target} INTERFACE_LINK_LIBRARIES)
    foreach(dep IN LISTS deps)
      if(dep MATCHES "^Boost::")
        list(APPEND queue ${dep})
      endif()
    endforeach()
  endwhile()
  list(REMOVE_DUPLICATES definitions)
  add_compile_definitions(${definitions})
endfunction()

# A tree whose targets differ in the flags a precompiled header depends on (the fuzz tree's
# instrumented ones) makes one per kind, each under its own name.
function(qz_add_precompiled_headers name)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp "// the precompiled header's own unit\n")
  add_library(${name} OBJECT ${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE Boost::headers)
  target_precompile_headers(${name} PRIVATE
    <algorithm> <array> <chrono> <condition_variable> <cstdint> <cstring> <deque> <fstream>
    <functional> <iostream> <map> <memory> <mutex> <optional> <regex> <set> <sstream>
    <stdexcept> <string> <thread> <vector>
    <boost/asio/buffer.hpp> <boost/asio/deadline_timer.hpp> <boost/asio/executor_work_guard.hpp>
    <boost/asio/io_context.hpp> <boost/asio/ip/address.hpp> <boost/asio/ip/tcp.hpp>
    <boost/asio/ip/udp.hpp> <boost/asio/read.hpp> <boost/asio/steady_timer.hpp>
    <boost/asio/write.hpp>
    <boost/chrono.hpp>
    <boost/exception/diagnostic_information.hpp> <boost/exception/get_error_info.hpp>
    <boost/exception/info.hpp> <boost/throw_exception.hpp>
    <boost/filesystem.hpp>
    <boost/format.hpp>
    <boost/log/core.hpp> <boost/log/expressions.hpp> <boost/log/sinks/sync_frontend.hpp>
    <boost/log/sinks/text_ostream_backend.hpp> <boost/log/sources/global_logger_storage.hpp>
    <boost/log/sources/record_ostream.hpp> <boost/log/sources/severity_channel_logger.hpp>
    <boost/log/sources/severity_logger.hpp>
    <boost/make_shared.hpp> <boost/optional.hpp>
    <boost/program_options.hpp>
    <boost/property_tree/info_parser.hpp> <boost/property_tree/ptree.hpp>
    <boost/property_tree/xml_parser.hpp>
    <boost/thread/condition_variable.hpp> <boost/thread/locks.hpp> <boost/thread/mutex.hpp>
    <boost/thread/thread.hpp>
  )
endfunction()

# Every target below dir that compiles sources, has no precompiled header of its own and does not
# set DISABLE_PRECOMPILE_HEADERS reuses pch (and so waits for it).
function(qz_use_precompiled_headers dir pch)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(own ${target} PRECOMPILE_HEADERS)
    get_target_property(reused ${target} PRECOMPILE_HEADERS_REUSE_FROM)
    get_target_property(disabled ${target} DISABLE_PRECOMPILE_HEADERS)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$"
       AND NOT own AND NOT reused AND NOT disabled)
      target_precompile_headers(${target} REUSE_FROM ${pch})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    qz_use_precompiled_headers(${subdir} ${pch})
  endforeach()
endfunction()
