# The library core: protocol bytes and reply access, the session, and every
# entry point end to end against the scripted controller.
quorvellan_add_test(messages_test SOURCES messages_test.cpp LIBS quorvellan_messages)
# The core leaves the remote host to each library variant; this one is here.
quorvellan_add_test(session_test SOURCES session_test.cpp ${PROJECT_SOURCE_DIR}/session/remote_host.cpp
                    LIBS quorvellan_core quorvellan_test_controller PORT)
target_compile_definitions(session_test PRIVATE QUORVELLAN_REMOTE_HOST="localhost")
quorvellan_add_test(lifecycle_test SOURCES lifecycle_test.cpp LIBS QuorvellanAPI quorvellan_test_controller PORT)
quorvellan_add_test(remote_handshake_test SOURCES remote_handshake_test.cpp
                    LIBS QuorvellanAPI_remote_localhost quorvellan_test_controller PORT)
quorvellan_add_test(queries_test SOURCES queries_test.cpp LIBS QuorvellanAPI quorvellan_test_controller PORT)
quorvellan_add_test(commands_test SOURCES commands_test.cpp LIBS QuorvellanAPI quorvellan_test_controller PORT)
