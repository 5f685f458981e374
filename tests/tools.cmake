# The controller simulator and the monitor, end to end with the library. The
# library variant whose network controller is this machine serves both
# handshakes. The tests start programs as child processes (POSIX).
if(TARGET quorvellan_simulator AND TARGET quorvellan_monitor AND NOT WIN32)
  # The monitor as the tests run it: --remote reaches this machine too.
  quorvellan_add_stream(QuorvellanStream_remote_localhost QuorvellanAPI_remote_localhost)
  add_executable(quorvellan-monitor-localhost ${PROJECT_SOURCE_DIR}/tools/monitor/main.cpp)
  target_link_libraries(quorvellan-monitor-localhost PRIVATE quorvellan_monitor QuorvellanStream_remote_localhost)
  target_compile_definitions(quorvellan-monitor-localhost PRIVATE QUORVELLAN_MONITOR_REMOTE_HOST="localhost")
  quorvellan_warnings(quorvellan-monitor-localhost)

  quorvellan_add_test(simulator_test SOURCES tools/simulator_test.cpp
    LIBS QuorvellanAPI_remote_localhost quorvellan_simulator PORT)
  target_compile_definitions(simulator_test PRIVATE
    QUORVELLAN_SIMULATOR_PATH="$<TARGET_FILE:quorvellan-controller-sim>")
  add_dependencies(simulator_test quorvellan-controller-sim)

  quorvellan_add_test(monitor_test SOURCES tools/monitor_test.cpp
    LIBS quorvellan_monitor QuorvellanAPI_remote_localhost quorvellan_simulator PORT)
  target_compile_definitions(monitor_test PRIVATE
    QUORVELLAN_MONITOR_PATH="$<TARGET_FILE:quorvellan-monitor-localhost>")
  add_dependencies(monitor_test quorvellan-monitor-localhost)

  quorvellan_add_test(replay_test SOURCES tools/replay_test.cpp LIBS quorvellan_simulator PORT)
  target_compile_definitions(replay_test PRIVATE
    QUORVELLAN_SIMULATOR_PATH="$<TARGET_FILE:quorvellan-controller-sim>"
    QUORVELLAN_MONITOR_PATH="$<TARGET_FILE:quorvellan-monitor-localhost>"
    QUORVELLAN_RECORDINGS_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures/recordings")
  add_dependencies(replay_test quorvellan-controller-sim quorvellan-monitor-localhost)

  quorvellan_add_test(web_view_test SOURCES tools/web_view_test.cpp
    LIBS quorvellan_monitor quorvellan_simulator PORT)
  target_compile_definitions(web_view_test PRIVATE
    QUORVELLAN_SIMULATOR_PATH="$<TARGET_FILE:quorvellan-controller-sim>"
    QUORVELLAN_MONITOR_PATH="$<TARGET_FILE:quorvellan-monitor-localhost>")
  add_dependencies(web_view_test quorvellan-controller-sim quorvellan-monitor-localhost)
endif()

# The web view in a real browser: headless Chromium through Selenium (Debian's
# packages, installed by scripts/install-deps), in a network namespace of its
# own with only loopback up. Saves web-view.png in the build folder.
if(TARGET quorvellan-monitor AND NOT WIN32)
  find_program(QUORVELLAN_CHROMIUM chromium)
  find_program(QUORVELLAN_CHROMEDRIVER chromedriver)
  # Debian's python3, which sees python3-selenium.
  find_program(QUORVELLAN_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  find_program(QUORVELLAN_UNSHARE unshare)
  if(QUORVELLAN_CHROMIUM AND QUORVELLAN_CHROMEDRIVER AND QUORVELLAN_SYSTEM_PYTHON AND QUORVELLAN_UNSHARE)
    add_test(NAME web_browser_test
      COMMAND ${QUORVELLAN_OWN_NETWORK}
              ${QUORVELLAN_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/web_browser_test.py
              --simulator $<TARGET_FILE:quorvellan-controller-sim> --monitor $<TARGET_FILE:quorvellan-monitor>
              --chromium ${QUORVELLAN_CHROMIUM} --chromedriver ${QUORVELLAN_CHROMEDRIVER}
              --recording ${PROJECT_SOURCE_DIR}/tests/fixtures/recordings/walk.jsonl
              --screenshot ${CMAKE_BINARY_DIR}/web-view.png)
    set_tests_properties(web_browser_test PROPERTIES TIMEOUT 120)
  else()
    message(STATUS "web_browser_test left out: chromium, chromedriver, /usr/bin/python3 or unshare is missing "
                   "(scripts/install-deps installs them)")
  endif()
endif()

# The monitor's /metrics text.
if(TARGET quorvellan_monitor AND TARGET QuorvellanStream)
  quorvellan_add_test(metrics_test SOURCES tools/metrics_test.cpp LIBS quorvellan_monitor QuorvellanStream)
endif()

# A real Prometheus server (Debian's prometheus, with promtool) scrapes two
# monitors, each watching a simulator in a network namespace of its own
# (tests/tools/prometheus_test.py explains the set-up); needs root.
if(TARGET quorvellan-monitor AND NOT WIN32)
  find_program(QUORVELLAN_PROMETHEUS prometheus)
  find_program(QUORVELLAN_PROMTOOL promtool)
  find_program(QUORVELLAN_NSENTER nsenter)
  if(QUORVELLAN_PROMETHEUS AND QUORVELLAN_PROMTOOL AND QUORVELLAN_SYSTEM_PYTHON AND QUORVELLAN_UNSHARE
     AND QUORVELLAN_NSENTER)
    add_test(NAME prometheus_test
      COMMAND ${QUORVELLAN_OWN_NETWORK}
              ${QUORVELLAN_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/prometheus_test.py
              --simulator $<TARGET_FILE:quorvellan-controller-sim> --monitor $<TARGET_FILE:quorvellan-monitor>
              --prometheus ${QUORVELLAN_PROMETHEUS} --promtool ${QUORVELLAN_PROMTOOL}
              --rules ${PROJECT_SOURCE_DIR}/docs/prometheus-alerts.yml
              --example-config ${PROJECT_SOURCE_DIR}/docs/prometheus.yml
              --rules-test ${CMAKE_CURRENT_SOURCE_DIR}/tools/prometheus_alerts_test.yml)
    set_tests_properties(prometheus_test PROPERTIES TIMEOUT 120)
  else()
    message(STATUS "prometheus_test left out: prometheus, promtool, /usr/bin/python3, unshare or nsenter is missing "
                   "(scripts/install-deps installs them)")
  endif()
endif()
