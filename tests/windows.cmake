# Windows only: the DLL as a Windows application sees it.
if(WIN32)
  # Loads QuorvellanAPI.dll by name from its own directory (the build's bin/).
  quorvellan_add_test(windows_load_library SOURCES windows/load_library_test.cpp
                      LIBS quorvellan_test_controller PORT)
  add_dependencies(windows_load_library QuorvellanAPI)

  # The export and import tables, read on the build machine.
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME windows_dll_tables
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_dll_tables.py
                   ${CMAKE_OBJDUMP} $<TARGET_FILE:QuorvellanAPI> ${PROJECT_SOURCE_DIR}/api/QuorvellanAPI.h)

  # The stream DLL, loaded and freed with the core it delay-loads.
  quorvellan_add_test(windows_load_stream SOURCES windows/load_stream_test.cpp
                      LIBS quorvellan_fault_support PORT)
  target_include_directories(windows_load_stream PRIVATE ${PROJECT_SOURCE_DIR}/api)
  add_dependencies(windows_load_stream QuorvellanAPI QuorvellanStream)
  # The stream loaded first, by full path, from a plugin folder holding the
  # core too; the program runs from a folder of its own without either DLL.
  quorvellan_add_test(windows_plugin_folder SOURCES windows/plugin_folder_test.cpp
                      LIBS quorvellan_fault_support PORT)
  target_include_directories(windows_plugin_folder PRIVATE ${PROJECT_SOURCE_DIR}/api)
  target_compile_definitions(windows_plugin_folder PRIVATE
    QUORVELLAN_STREAM_DLL="$<TARGET_FILE:QuorvellanStream>" QUORVELLAN_CORE_DLL="$<TARGET_FILE:QuorvellanAPI>")
  set_target_properties(windows_plugin_folder PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/plugin-host)
  add_dependencies(windows_plugin_folder QuorvellanAPI QuorvellanStream)
  add_test(NAME windows_stream_dll_tables
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_dll_tables.py
                   ${CMAKE_OBJDUMP} $<TARGET_FILE:QuorvellanStream> ${PROJECT_SOURCE_DIR}/stream/QuorvellanStream.h
                   QuorvellanAPI.dll)
endif()

# A C caller frees serial-number buffers through msvcrt's free, as both
# bindings do on Windows; msvcrt's heap must not keep a block per read.
if(WIN32)
  add_executable(serial_free_test windows/serial_free_test.c)
  target_link_libraries(serial_free_test PRIVATE QuorvellanAPI)
  quorvellan_warnings(serial_free_test)
  quorvellan_add_test(serial_free_runner_test SOURCES windows/serial_free_runner_test.cpp
                      LIBS quorvellan_test_controller PORT)
  target_compile_definitions(serial_free_runner_test PRIVATE
    QUORVELLAN_SERIAL_FREE_CALLER="$<TARGET_FILE:serial_free_test>")
  add_dependencies(serial_free_runner_test serial_free_test)
endif()

# The simulator and the monitor for Windows: static GCC runtime like the DLLs;
# the monitor imports only our stream DLL besides the system's.
if(WIN32 AND TARGET quorvellan-controller-sim AND TARGET quorvellan-monitor)
  foreach(tool quorvellan-controller-sim quorvellan-monitor)
    add_test(NAME windows_imports_${tool}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_dll_tables.py
                     ${CMAKE_OBJDUMP} $<TARGET_FILE:${tool}> --program QuorvellanStream.dll)
  endforeach()
endif()
