# The macos-release preset's configure checks, run on any system: each case configures the
# checks (cmake -P cmake/ReleaseChecks.cmake) with the preset's cache variables and the case's
# settings, and must be refused naming its problem, or accepted.
# Run with -DSOURCE_DIR=<repository> -DWORK_DIR=<scratch folder>.
cmake_minimum_required(VERSION 3.25)

# The preset's own cache variables, so the checks run as the preset configures them.
file(READ "${SOURCE_DIR}/CMakePresets.json" presets)
string(JSON count LENGTH "${presets}" configurePresets)
math(EXPR last "${count} - 1")
set(preset_args "")
foreach(i RANGE ${last})
  string(JSON name GET "${presets}" configurePresets ${i} name)
  if(name STREQUAL "macos-release")
    string(JSON variables GET "${presets}" configurePresets ${i} cacheVariables)
    string(JSON n LENGTH "${variables}")
    math(EXPR n_last "${n} - 1")
    foreach(j RANGE ${n_last})
      string(JSON key MEMBER "${variables}" ${j})
      string(JSON value GET "${variables}" "${key}")
      list(APPEND preset_args "-D${key}=${value}")
    endforeach()
  endif()
endforeach()
if(NOT "-DCORVANE_RELEASE_CHECKS=ON" IN_LIST preset_args)
  message(FATAL_ERROR "the macos-release preset does not turn on CORVANE_RELEASE_CHECKS: ${preset_args}")
endif()

# The package host a checkout builds with when none is given.
file(READ "${SOURCE_DIR}/CMakeLists.txt" top)
if(NOT top MATCHES "set\\(CORVANE_PACKAGE_HOST \"([^\"]*)\"")
  message(FATAL_ERROR "no default CORVANE_PACKAGE_HOST in CMakeLists.txt")
endif()
set(default_host "${CMAKE_MATCH_1}")

set(good_host "https://download.corvane.com")
set(team "A1B2C3D4E5")
function(vctrl name)
  list(JOIN ARGN "\n" text)
  file(WRITE "${WORK_DIR}/${name}.dat" "[common]\nproduct=1044\n${text}\n\n[pallo_public]\npriority=2\n\n[pallo_tools_install]\npriority=2\n")
endfunction()
vctrl(real "server0=https://tally.corvane.com/report" "server2=http://203.0.114.5:8080/report")
vctrl(v6 "server2=https://[2606:4700:4700::1111]/report")
vctrl(dot "server2=https://tally.corvane.com./report")
# Telemetry servers that are not real, each with the reason it is refused.
set(loopback "a loopback")
set(reserved "a reserved or placeholder name")
foreach(bad IN ITEMS "https://localhost/report>${reserved}" "http://127.0.0.1:8080/report>${loopback}"
                     "https://[::1]/report>${loopback}" "https://example.com/report>${reserved}"
                     "https://tally.example.org/r>${reserved}" "http://192.168.1.5/r>${loopback}"
                     "http://10.1.2.3/r>${loopback}" "https://172.20.0.1/r>${loopback}"
                     "https://169.254.1.1/r>${loopback}" "https://198.51.100.7/r>${loopback}"
                     "https://[fd00::5]/r>${loopback}" "https://tally.test/r>${reserved}"
                     "https://tally.local/r>${reserved}" "https://app.localhost/r>${reserved}"
                     "https://tally/r>not a host name" "ftp://tally.corvane.com/r>not an http or https"
                     "https://user:pw@tally.corvane.com/r>carries credentials" ">not an http")
  string(REPLACE ">" ";" pair "${bad}")
  list(GET pair 0 url)
  list(GET pair 1 reason)
  string(MAKE_C_IDENTIFIER "bad_${url}" name)
  vctrl(${name} "server2=${url}")
  list(APPEND bad_servers "${name}>${url}: ${reason}")
endforeach()
vctrl(missing_priority "server0=https://tally.corvane.com/report")
file(WRITE "${WORK_DIR}/no_server.dat" "[common]\nproduct=1044\n")

# name | expected ("ok" or a text the refusal must hold) | -D settings, separated by "|"
set(cases
  "real settings|ok|CORVANE_PACKAGE_HOST=${good_host}|CORVANE_VCTRL_DAT=${WORK_DIR}/real.dat|CORVANE_TEAM_ID=${team}"
  "a v6 server, a port|ok|CORVANE_PACKAGE_HOST=${good_host}:8443|CORVANE_VCTRL_DAT=${WORK_DIR}/v6.dat|CORVANE_TEAM_ID=${team}"
  "a fully qualified name|ok|CORVANE_PACKAGE_HOST=https://download.corvane.com.|CORVANE_VCTRL_DAT=${WORK_DIR}/dot.dat|CORVANE_TEAM_ID=${team}"
  "the checkout's package host|CORVANE_PACKAGE_HOST '${default_host}': a reserved|CORVANE_PACKAGE_HOST=${default_host}|CORVANE_VCTRL_DAT=${WORK_DIR}/real.dat|CORVANE_TEAM_ID=${team}"
  "a package host without TLS|not an https address|CORVANE_PACKAGE_HOST=http://download.corvane.com|CORVANE_VCTRL_DAT=${WORK_DIR}/real.dat|CORVANE_TEAM_ID=${team}"
  "a package host with a path|scheme and host only|CORVANE_PACKAGE_HOST=${good_host}/|CORVANE_VCTRL_DAT=${WORK_DIR}/real.dat|CORVANE_TEAM_ID=${team}"
  "a loopback package host|a loopback|CORVANE_PACKAGE_HOST=https://127.0.0.1:8443|CORVANE_VCTRL_DAT=${WORK_DIR}/real.dat|CORVANE_TEAM_ID=${team}"
  "the checkout's vctrl.dat|server2=https://tally.corvane.example/report: a reserved|CORVANE_PACKAGE_HOST=${good_host}|CORVANE_VCTRL_DAT=${SOURCE_DIR}/resources/vctrl.dat|CORVANE_TEAM_ID=${team}"
  "a table's server missing|priority 2 but [common] has no server2|CORVANE_PACKAGE_HOST=${good_host}|CORVANE_VCTRL_DAT=${WORK_DIR}/missing_priority.dat|CORVANE_TEAM_ID=${team}"
  "no server at all|names no server|CORVANE_PACKAGE_HOST=${good_host}|CORVANE_VCTRL_DAT=${WORK_DIR}/no_server.dat|CORVANE_TEAM_ID=${team}"
  "no vctrl.dat|no such file|CORVANE_PACKAGE_HOST=${good_host}|CORVANE_VCTRL_DAT=${WORK_DIR}/absent.dat|CORVANE_TEAM_ID=${team}"
  "no team|CORVANE_TEAM_ID is empty|CORVANE_PACKAGE_HOST=${good_host}|CORVANE_VCTRL_DAT=${WORK_DIR}/real.dat|CORVANE_TEAM_ID="
  "a team that is not one|is not a team identifier|CORVANE_PACKAGE_HOST=${good_host}|CORVANE_VCTRL_DAT=${WORK_DIR}/real.dat|CORVANE_TEAM_ID=team 1")
foreach(bad IN LISTS bad_servers)
  string(REPLACE ">" ";" pair "${bad}")
  list(GET pair 0 name)
  list(GET pair 1 reason)
  list(APPEND cases "telemetry server ${name}|${name}.dat: server2=${reason}|CORVANE_PACKAGE_HOST=${good_host}|CORVANE_VCTRL_DAT=${WORK_DIR}/${name}.dat|CORVANE_TEAM_ID=${team}")
endforeach()

set(failures 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(POP_FRONT fields name expected)
  set(args "${preset_args}")
  foreach(setting IN LISTS fields)
    list(APPEND args "-D${setting}")
  endforeach()
  execute_process(COMMAND "${CMAKE_COMMAND}" ${args} -P "${SOURCE_DIR}/cmake/ReleaseChecks.cmake"
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(REGEX REPLACE "[ \n]+" " " flat "${out}")
  if(expected STREQUAL "ok")
    set(passed FALSE)
    if(status EQUAL 0)
      set(passed TRUE)
    endif()
  else()
    string(FIND "${flat}" "${expected}" at)
    set(passed FALSE)
    if(NOT status EQUAL 0 AND at GREATER_EQUAL 0 AND flat MATCHES "Not a release")
      set(passed TRUE)
    endif()
  endif()
  if(passed)
    message(STATUS "ok: ${name}")
  else()
    message(STATUS "FAILED: ${name} (expected ${expected}; status ${status}): ${out}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
list(LENGTH cases total)
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} of ${total} release-check cases failed")
endif()
message(STATUS "${total} release-check cases passed")
