# The Unity package assembled from the built Linux library: layout, import
# settings, and its C# compiled with mcs (the sample against a stand-in of the
# few UnityEngine members it uses).
find_program(QUORVELLAN_UNITY_MCS mcs)
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING AND QUORVELLAN_UNITY_MCS)
  set(quorvellan_unity_libraries $<TARGET_FILE:QuorvellanAPI>)
  if(TARGET QuorvellanStream)
    list(APPEND quorvellan_unity_libraries $<TARGET_FILE:QuorvellanStream>)
  endif()
  add_test(NAME unity_package
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/unity/unity_package_test.sh ${PROJECT_SOURCE_DIR}
                   ${QUORVELLAN_UNITY_MCS} ${PROJECT_VERSION} ${quorvellan_unity_libraries})
  set_tests_properties(unity_package PROPERTIES TIMEOUT 120)
endif()
