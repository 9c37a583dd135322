# Installation layout, shipped rules, service files, manuals, the Debian
# package and the tests that check all of them.
#
# Two layouts:
# - default: `cmake --install <build> --prefix P` gives P/sbin/korvid,
#   P/bin/korvidctl, P/share/device/rules, P/share/man, the systemd unit in
#   P/lib/systemd/system and the init script in P/share/korvid/init.d. The
#   daemon finds the rules through its installation-prefix directory
#   (P/share/device/rules).
# - KORVID_DEBIAN_LAYOUT=ON: paths relative to the file-system root, for
#   `cpack -G DEB`. The daemon lives in /usr/libexec/korvid (with
#   /usr/sbin/korvid a symbolic link to it), so its installation-prefix
#   directory is /usr/libexec/share/device/rules, which does not exist: the
#   rules in /usr/share/device/rules are then read once, through the fixed
#   directory, instead of twice.
#
# KORVID_PREBUILT_DAEMON / KORVID_PREBUILT_KORVIDCTL package executables that
# another build tree already made, so the packaging test needs no second
# compilation of the whole project.

option(KORVID_DEBIAN_LAYOUT "Install in the Debian package layout (for cpack -G DEB)" OFF)
set(KORVID_PREBUILT_DAEMON "" CACHE FILEPATH "Package this korvid executable instead of building it")
set(KORVID_PREBUILT_KORVIDCTL "" CACHE FILEPATH "Package this korvidctl executable instead of building it")
set(KORVID_PACKAGE_MAINTAINER "korvid maintainers <root@localhost>" CACHE STRING
    "Maintainer field of the Debian package")

set(_korvid_source "${CMAKE_CURRENT_LIST_DIR}/..")
cmake_path(NORMAL_PATH _korvid_source)

if(KORVID_DEBIAN_LAYOUT)
  if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX "/" CACHE PATH "Install root of the Debian layout" FORCE)
  endif()
  set(_dir_daemon   "usr/libexec/korvid")
  set(_dir_bin      "usr/bin")
  set(_dir_sbin     "usr/sbin")
  set(_dir_rules    "usr/share/device/rules")
  set(_dir_man      "usr/share/man")
  set(_dir_unit     "lib/systemd/system")
  set(_dir_initd    "etc/init.d")
  set(_dir_doc      "usr/share/doc/korvid")
else()
  set(_dir_daemon   "sbin")
  set(_dir_bin      "bin")
  set(_dir_rules    "share/device/rules")
  set(_dir_man      "share/man")
  set(_dir_unit     "lib/systemd/system")
  set(_dir_initd    "share/korvid/init.d")
  set(_dir_doc      "share/doc/korvid")
endif()

# Executables. A prebuilt file is stripped on installation like a target.
function(_korvid_install_program target prebuilt destination)
  if(prebuilt)
    install(PROGRAMS "${prebuilt}" DESTINATION "${destination}" RENAME "${target}")
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\"
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/${target}\"
          RESULT_VARIABLE _status)
        if(NOT _status EQUAL 0)
          message(FATAL_ERROR \"strip failed for ${target}\")
        endif()
      endif()")
  elseif(TARGET ${target})
    install(TARGETS ${target} RUNTIME DESTINATION "${destination}")
  endif()
endfunction()

_korvid_install_program(korvid "${KORVID_PREBUILT_DAEMON}" "${_dir_daemon}")
_korvid_install_program(korvidctl "${KORVID_PREBUILT_KORVIDCTL}" "${_dir_bin}")

if(KORVID_DEBIAN_LAYOUT)
  # A relative link, so the extracted package works wherever it lands.
  set(_link "${CMAKE_BINARY_DIR}/packaging/sbin/korvid")
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/packaging/sbin")
  file(CREATE_LINK "../libexec/korvid/korvid" "${_link}" SYMBOLIC)
  install(FILES "${_link}" DESTINATION "${_dir_sbin}")
endif()

# Packaging-only configurations compile nothing: cpack builds "all" first.
if(KORVID_PREBUILT_DAEMON AND TARGET korvid-common)
  set_target_properties(korvid-common PROPERTIES EXCLUDE_FROM_ALL ON)
endif()

file(GLOB _korvid_rule_files CONFIGURE_DEPENDS "${_korvid_source}/rules/*.rules")
install(FILES ${_korvid_rule_files} DESTINATION "${_dir_rules}")

install(FILES "${_korvid_source}/man/korvidctl.1" DESTINATION "${_dir_man}/man1")
install(FILES "${_korvid_source}/man/korvid.rules.5" DESTINATION "${_dir_man}/man5")
install(FILES "${_korvid_source}/man/korvid.8" DESTINATION "${_dir_man}/man8")
if(KORVID_DEBIAN_LAYOUT)
  install(FILES "${_korvid_source}/dist/korvid.service" DESTINATION "${_dir_unit}")
  install(PROGRAMS "${_korvid_source}/dist/init.d/korvid" DESTINATION "${_dir_initd}")
else()
  # The service files name /usr/sbin/korvid and /usr/bin/korvidctl; in the
  # default layout they must name the prefix given at installation time
  # (`--prefix`), which is only known when the install script runs.
  install(CODE "set(_korvid_dist \"${_korvid_source}/dist\")
    set(_korvid_unit_dir \"${_dir_unit}\")
    set(_korvid_initd_dir \"${_dir_initd}\")")
  install(CODE [[
    foreach(_entry "korvid.service|${_korvid_unit_dir}|OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ"
                   "init.d/korvid|${_korvid_initd_dir}|OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE")
      string(REPLACE "|" ";" _entry "${_entry}")
      list(GET _entry 0 _name)
      list(GET _entry 1 _dir)
      list(GET _entry 2 _permissions)
      separate_arguments(_permissions)
      file(READ "${_korvid_dist}/${_name}" _content)
      string(REPLACE "/usr/sbin/korvid" "${CMAKE_INSTALL_PREFIX}/sbin/korvid" _content "${_content}")
      string(REPLACE "/usr/bin/korvidctl" "${CMAKE_INSTALL_PREFIX}/bin/korvidctl" _content "${_content}")
      get_filename_component(_file_name "${_name}" NAME)
      set(_target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${_dir}/${_file_name}")
      message(STATUS "Installing: ${_target}")
      file(WRITE "${_target}.tmp" "${_content}")
      file(CHMOD "${_target}.tmp" FILE_PERMISSIONS ${_permissions})
      file(RENAME "${_target}.tmp" "${_target}")
      list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_target}")
    endforeach()
  ]])
endif()
install(FILES "${_korvid_source}/README.md" DESTINATION "${_dir_doc}")

# CPack: DEB for the Debian layout, a plain archive otherwise.
set(CPACK_PACKAGE_NAME "korvid")
set(CPACK_PACKAGE_VENDOR "korvid")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${KORVID_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "device manager daemon for Linux")
set(CPACK_STRIP_FILES ON)
if(KORVID_DEBIAN_LAYOUT)
  set(CPACK_GENERATOR "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/")
  set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
  set(CPACK_DEBIAN_PACKAGE_RELEASE "1")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KORVID_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # CPack puts the summary first and indents each line by one blank.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "korvid listens to the kernel's device events, creates device nodes where
the kernel does not, runs every event through administrator-written rules
and applies their outcome: owner, group, permission bits and symbolic links
of the nodes in /dev. korvidctl triggers the coldplug at boot, reloads the
rules, lists devices and checks rule files.

The service is not enabled on installation: see
/usr/share/doc/korvid/README.md.")
  # The init script is the administrator's to edit: keep it on upgrades.
  set(_conffiles "${CMAKE_BINARY_DIR}/packaging/conffiles")
  file(WRITE "${_conffiles}" "/etc/init.d/korvid\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_conffiles}")
else()
  set(CPACK_GENERATOR "TGZ")
endif()
include(CPack)

# Tests.
if(KORVID_BUILD_TESTS AND TARGET korvid::rule)
  korvid_add_test(NAME shipped_rules_tests
    SOURCES "${_korvid_source}/tests/packaging/shipped_rules_test.cpp"
    LIBS korvid::rule korvid::common)
  target_compile_definitions(shipped_rules_tests PRIVATE
    KORVID_SHIPPED_RULES_DIR="${_korvid_source}/rules")
endif()

if(KORVID_BUILD_TESTS)
  add_test(NAME packaging_manuals
    COMMAND sh "${_korvid_source}/tests/packaging/manuals-test.sh" "${_korvid_source}")
  set_tests_properties(packaging_manuals PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)

  if(TARGET korvidctl)
    add_test(NAME shipped_rules_verify
      COMMAND korvidctl verify "${_korvid_source}/rules")
    set_tests_properties(shipped_rules_verify PROPERTIES TIMEOUT 60)
    set(_korvidctl_file "$<TARGET_FILE:korvidctl>")
  else()
    set(_korvidctl_file "")
  endif()

  if(TARGET korvid)
    if(TARGET korvidctl)
      set(_unit_korvidctl "$<TARGET_FILE:korvidctl>")
    else()
      set(_unit_korvidctl "$<TARGET_FILE:korvid>")
    endif()
    add_test(NAME packaging_systemd_unit
      COMMAND sh "${_korvid_source}/tests/packaging/unit-test.sh" "${_korvid_source}/dist/korvid.service"
              "$<TARGET_FILE:korvid>" "${_unit_korvidctl}")
    set_tests_properties(packaging_systemd_unit PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)

    # Everything that starts a daemon shares the IPC socket name and the
    # kernel's uevents with the other daemon tests.
    add_test(NAME packaging_install_prefix
      COMMAND bash "${_korvid_source}/tests/packaging/install-prefix-test.sh" "${CMAKE_BINARY_DIR}")
    add_test(NAME packaging_init_script
      COMMAND bash "${_korvid_source}/tests/packaging/init-script-test.sh"
              "${_korvid_source}/dist/init.d/korvid" "$<TARGET_FILE:korvid>" "${_korvidctl_file}")
    add_test(NAME packaging_debian_package
      COMMAND bash "${_korvid_source}/scripts/package-test.sh" "${CMAKE_BINARY_DIR}")
    set_tests_properties(packaging_install_prefix packaging_init_script packaging_debian_package
      PROPERTIES RESOURCE_LOCK korvid_daemon TIMEOUT 300)
  endif()
endif()
