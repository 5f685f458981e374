# The stream library end to end against the scripted controller.
quorvellan_add_test(stream_test SOURCES stream/stream_test.cpp
                    LIBS QuorvellanStream quorvellan_fault_support PORT)
