# The library core: protocol bytes and reply access, the session, and every
# entry point end to end against the scripted controller.
quorvellan_add_test(messages_test SOURCES messages/messages_test.cpp LIBS quorvellan_messages)
# The core leaves the remote host to each library variant; this one is here.
quorvellan_add_test(session_test SOURCES session/session_test.cpp ${PROJECT_SOURCE_DIR}/session/remote_host.cpp
                    LIBS quorvellan_core quorvellan_test_controller PORT)
target_compile_definitions(session_test PRIVATE QUORVELLAN_REMOTE_HOST="localhost")
quorvellan_add_test(lifecycle_test SOURCES api/lifecycle_test.cpp LIBS QuorvellanAPI quorvellan_test_controller PORT)
quorvellan_add_test(remote_handshake_test SOURCES api/remote_handshake_test.cpp
                    LIBS QuorvellanAPI_remote_localhost quorvellan_test_controller PORT)
quorvellan_add_test(queries_test SOURCES api/queries_test.cpp LIBS QuorvellanAPI quorvellan_test_controller PORT)
quorvellan_add_test(commands_test SOURCES api/commands_test.cpp LIBS QuorvellanAPI quorvellan_test_controller PORT)

# A caller in plain C (C11, no extensions): the public header is valid C and
# the records come back by value; the runner starts it as its own process.
add_executable(c_api_test api/c_api_test.c)
target_link_libraries(c_api_test PRIVATE QuorvellanAPI $<$<NOT:$<PLATFORM_ID:Windows>>:m>)
set_target_properties(c_api_test PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
quorvellan_warnings(c_api_test)
target_compile_options(c_api_test PRIVATE -pedantic-errors)
quorvellan_add_test(c_api_runner_test SOURCES api/c_api_runner_test.cpp LIBS quorvellan_test_controller PORT)
target_compile_definitions(c_api_runner_test PRIVATE QUORVELLAN_C_CALLER="$<TARGET_FILE:c_api_test>")
add_dependencies(c_api_runner_test c_api_test)

if(NOT WIN32)
  quorvellan_add_test(exports_test SOURCES api/exports_test.cpp)
  target_compile_definitions(exports_test PRIVATE
    QUORVELLAN_LIBRARY_FILE="$<TARGET_FILE:QuorvellanAPI>"
    QUORVELLAN_REMOTE_LIBRARY_FILE="$<TARGET_FILE:QuorvellanAPI_remote_localhost>")
  add_dependencies(exports_test QuorvellanAPI QuorvellanAPI_remote_localhost)
endif()

# The controller's address given at run time (QUORVELLAN_CONTROLLER).
quorvellan_add_test(controller_address_test SOURCES session/controller_address_test.cpp LIBS quorvellan_core)
quorvellan_add_test(controller_address_init_test SOURCES api/controller_address_init_test.cpp
                    LIBS QuorvellanAPI quorvellan_test_controller PORT)
