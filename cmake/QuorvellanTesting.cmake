# How the tests reach a controller without ever reaching this machine's own.
#
# On Linux every test runs in a network namespace of its own
# (scripts/lib/own-network, the "emulator" of each test program and the
# prefix of each test script): the controller a test starts on port 6158 is
# its own, a controller listening on this machine (a real treadmill) is never
# reached, and tests that listen on the port run side by side. Under Wine the
# sockets belong to the one wineserver of the run, so scripts/test-windows runs
# that server and every Windows test in one namespace, where the tests that
# listen on the port take turns (resource lock "port6158").
if(WIN32)
  set(QUORVELLAN_OWN_NETWORK "")
else()
  set(QUORVELLAN_OWN_NETWORK ${PROJECT_SOURCE_DIR}/scripts/lib/own-network)
endif()

# The properties of a test that talks to a controller over TCP: the label
# "end-to-end" (the sanitizer stage also runs these under valgrind), and on
# Windows the port's lock.
set(QUORVELLAN_CONTROLLER_TEST_PROPERTIES LABELS end-to-end)
if(WIN32)
  list(APPEND QUORVELLAN_CONTROLLER_TEST_PROPERTIES RESOURCE_LOCK port6158)
endif()
