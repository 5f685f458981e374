# The README's build, install and example lines, run as written in a clean
# copy of the tree (a Release build of the library and tools of its own).
# The command is the script itself, not a native program: stages that run the
# native tests under ASan or valgrind leave it alone.
find_program(QUORVELLAN_README_MCS mcs)
find_program(QUORVELLAN_README_MONO mono)
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING AND QUORVELLAN_README_MCS AND QUORVELLAN_README_MONO)
  add_test(NAME readme_lines COMMAND ${QUORVELLAN_OWN_NETWORK} ${CMAKE_CURRENT_SOURCE_DIR}/readme/readme_lines_test.py ${PROJECT_SOURCE_DIR})
  set_tests_properties(readme_lines PROPERTIES TIMEOUT 900)
endif()
