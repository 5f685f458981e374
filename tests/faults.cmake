# The fault suite: every fault a controller or the network can produce, over
# real TCP on this machine, one process per case. Hostile replies and the
# fuzzer's findings are also checked in-process, without sockets.

# Under Windows (Wine) the cases that fork, kill or isolate processes with
# POSIX calls skip with their reason; the soak keeps its controller in-process.
add_library(quorvellan_fault_support STATIC faults/faults_support.cpp)
target_link_libraries(quorvellan_fault_support PUBLIC quorvellan_test_controller)
quorvellan_warnings(quorvellan_fault_support)

# Request k answered with a reply carrying k, through the shipped library.
add_library(quorvellan_framing_property STATIC support/framing_property.cpp)
target_link_libraries(quorvellan_framing_property PUBLIC quorvellan_test_controller QuorvellanAPI
                      nlohmann_json::nlohmann_json)
quorvellan_warnings(quorvellan_framing_property)

set(fault_libs QuorvellanAPI quorvellan_fault_support)
quorvellan_add_test(faults_connect SOURCES faults/faults_connect.cpp LIBS ${fault_libs} PORT)
quorvellan_add_test(faults_read SOURCES faults/faults_read.cpp LIBS ${fault_libs} quorvellan_framing_property PORT)
quorvellan_add_test(faults_peer_death SOURCES faults/faults_peer_death.cpp LIBS ${fault_libs} PORT)
quorvellan_add_test(faults_lifecycle SOURCES faults/faults_lifecycle.cpp LIBS ${fault_libs} PORT)

# The remote handshake end to end, against a controller on this machine.
quorvellan_add_test(faults_remote_handshake SOURCES faults/faults_remote_handshake.cpp
                    LIBS QuorvellanAPI_remote_localhost quorvellan_fault_support PORT)

# A controller name that never resolves. The test moves itself into a network
# namespace of its own, so the failed look-up never leaves this machine.
quorvellan_add_library(QuorvellanAPI_invalid_host "controller.invalid")
quorvellan_add_test(faults_resolve SOURCES faults/faults_resolve.cpp LIBS QuorvellanAPI_invalid_host quorvellan_fault_support)

# Reading paths fed hostile bytes directly, plus every committed corpus and
# regression input of the fuzzer.
quorvellan_add_test(faults_hostile_replies SOURCES faults/faults_hostile_replies.cpp LIBS quorvellan_messages)
target_compile_definitions(faults_hostile_replies PRIVATE
  QUORVELLAN_FUZZ_INPUTS="${CMAKE_CURRENT_SOURCE_DIR}/fuzz")

# The soak runs longer than the other cases; QUORVELLAN_SOAK_CALLS shortens it.
add_executable(faults_soak faults/faults_soak.cpp)
target_link_libraries(faults_soak PRIVATE ${fault_libs} GTest::gtest GTest::gtest_main)
target_include_directories(faults_soak PRIVATE ${PROJECT_SOURCE_DIR})
quorvellan_warnings(faults_soak)
gtest_discover_tests(faults_soak DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600 ${QUORVELLAN_CONTROLLER_TEST_PROPERTIES})

if(QUORVELLAN_BUILD_FUZZ)
  add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/fuzz ${CMAKE_CURRENT_BINARY_DIR}/fuzz)
endif()

# Exports called from an exit handler after the library's static objects are
# destroyed (POSIX: the library is loaded with dlopen after the handler is set).
if(NOT WIN32)
  add_executable(teardown_caller faults/teardown_caller.cpp)
  target_include_directories(teardown_caller PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(teardown_caller PRIVATE ${CMAKE_DL_LIBS})
  quorvellan_warnings(teardown_caller)
  add_test(NAME faults_teardown COMMAND teardown_caller $<TARGET_FILE:QuorvellanAPI>)
  set_tests_properties(faults_teardown PROPERTIES TIMEOUT 60 ${QUORVELLAN_CONTROLLER_TEST_PROPERTIES})
endif()
