# The stream library end to end against the scripted controller.
quorvellan_add_test(stream_test SOURCES stream/stream_test.cpp
                    LIBS QuorvellanStream quorvellan_fault_support PORT)

# The stream's recording; its file is read back with the simulator's replay reader.
if(TARGET quorvellan_simulator AND NOT WIN32)
  quorvellan_add_test(recording_test SOURCES stream/recording_test.cpp
                      LIBS QuorvellanStream quorvellan_fault_support quorvellan_simulator PORT)
endif()

# The sample slot's reader under a writer stalled midway (signals: POSIX).
if(NOT WIN32)
  quorvellan_add_test(sample_slot_test SOURCES stream/sample_slot_test.cpp LIBS Threads::Threads)
endif()
