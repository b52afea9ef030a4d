# Installs the systemd unit, its sysusers.d entry and the sample configuration files. Runs at
# install time, so that the paths follow the prefix in force then (a `--prefix` given to
# `cmake --install` as well as the configured one): the unit names the binary and the
# configuration where this same install puts them.
#
# Set by the caller: KELTO_SOURCE_DIR, KELTO_BINARY_DIR, and KELTO_SBINDIR and
# KELTO_SYSCONFDIR as GNUInstallDirs has them (relative to the prefix unless absolute).

string(REGEX REPLACE "/+$" "" kelto_prefix "${CMAKE_INSTALL_PREFIX}")

if(IS_ABSOLUTE "${KELTO_SBINDIR}")
  set(kelto_sbindir "${KELTO_SBINDIR}")
else()
  set(kelto_sbindir "${kelto_prefix}/${KELTO_SBINDIR}")
endif()
# As GNUInstallDirs has it: a system-wide install (prefix / or /usr) keeps its configuration
# in /etc, one under /opt/NAME in /etc/opt/NAME, any other prefix in its own etc.
if(IS_ABSOLUTE "${KELTO_SYSCONFDIR}")
  set(kelto_confdir "${KELTO_SYSCONFDIR}/kelto")
elseif(kelto_prefix STREQUAL "" OR kelto_prefix STREQUAL "/usr")
  set(kelto_confdir "/${KELTO_SYSCONFDIR}/kelto")
elseif(kelto_prefix MATCHES "^/opt/(.+)")
  set(kelto_confdir "/${KELTO_SYSCONFDIR}/opt/${CMAKE_MATCH_1}/kelto")
else()
  set(kelto_confdir "${kelto_prefix}/${KELTO_SYSCONFDIR}/kelto")
endif()

configure_file("${KELTO_SOURCE_DIR}/packaging/kelto-rest.service"
               "${KELTO_BINARY_DIR}/kelto-rest.service" @ONLY)
file(INSTALL DESTINATION "${kelto_prefix}/lib/systemd/system" TYPE FILE
     FILES "${KELTO_BINARY_DIR}/kelto-rest.service")
file(INSTALL DESTINATION "${kelto_prefix}/lib/sysusers.d" TYPE FILE
     RENAME kelto-rest.conf FILES "${KELTO_SOURCE_DIR}/packaging/sysusers.conf")

# An installed configuration is the operator's: a later install leaves it as it is.
foreach(name rest.conf log.conf)
  if(EXISTS "$ENV{DESTDIR}${kelto_confdir}/${name}")
    message(STATUS "Keeping: $ENV{DESTDIR}${kelto_confdir}/${name}")
  else()
    file(INSTALL DESTINATION "${kelto_confdir}" TYPE FILE
         FILES "${KELTO_SOURCE_DIR}/packaging/${name}")
  endif()
endforeach()
