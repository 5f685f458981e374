# The ABI of the built Linux library against the baseline in cmake/abi/, and
# the check itself against deliberately changed headers. Needs abigail-tools
# and debug information (not the Release build).
find_program(QUORVELLAN_ABIDIFF abidiff)
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING AND QUORVELLAN_ABIDIFF
   AND CMAKE_BUILD_TYPE MATCHES "^(RelWithDebInfo|Debug)$")
  set(quorvellan_abi_libraries $<TARGET_FILE:QuorvellanAPI>)
  if(TARGET QuorvellanStream)
    list(APPEND quorvellan_abi_libraries $<TARGET_FILE:QuorvellanStream>)  # checked once it has a baseline
  endif()
  add_test(NAME abi_check
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/abi/check_abi_test.sh
                   ${PROJECT_SOURCE_DIR} ${CMAKE_CXX_COMPILER} ${quorvellan_abi_libraries})
  set_tests_properties(abi_check PROPERTIES TIMEOUT 120)
endif()
