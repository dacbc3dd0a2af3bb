# Installs the build into a staging root, as the package does, and builds
# and runs a C program against what was installed there: the header, the
# pkg-config file and the library.
#   -DBUILD_DIR -DSTAGE -DCC -DPKG_CONFIG -DSOURCE -DEMULATOR (a ;-list, may be empty)
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE}/settings)
set(ENV{DESTDIR} ${STAGE}/root)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR}
  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed:\n${out}")
endif()

file(GLOB_RECURSE pc_files ${STAGE}/root/*/zunra_sat.pc)
list(LENGTH pc_files n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "expected one installed zunra_sat.pc, found: ${pc_files}")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
# The settings file is the technician's once installed: installing again
# keeps it.
set(sat_ini ${STAGE}/root/var/zunra_dorvex/sat.ini)
if(NOT EXISTS ${sat_ini})
  message(FATAL_ERROR "the sample sat.ini was not installed")
endif()
file(APPEND ${sat_ini} "SERIAL=ttyUSB7\n")
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} OUTPUT_QUIET RESULT_VARIABLE rc)
file(READ ${sat_ini} kept)
if(NOT rc EQUAL 0 OR NOT kept MATCHES "SERIAL=ttyUSB7\n$")
  message(FATAL_ERROR "installing again overwrote the technician's sat.ini")
endif()

# The staging root stands for the target's root file system.
set(ENV{PKG_CONFIG_LIBDIR} ${pc_dir})
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${STAGE}/root)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs zunra_sat
  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know the installed zunra_sat")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
string(REGEX MATCH "-L([^;]+)" libdir_flag "${flags}")
set(libdir ${CMAKE_MATCH_1})

execute_process(COMMAND ${CC} -std=c99 -pedantic -Wall -Wextra -Werror ${SOURCE} ${flags}
    -Wl,-rpath,${libdir} -o ${STAGE}/consumer
  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "a C program does not build against the installed files:\n${out}")
endif()

file(WRITE ${STAGE}/settings/sat.ini "[DEFAULT]\nSERIAL=/dev/zunra_no_such_unit\n")
set(ENV{ZUNRA_SAT_DIR} ${STAGE}/settings)
execute_process(COMMAND ${EMULATOR} ${STAGE}/consumer
  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc TIMEOUT 60)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the C program failed (${rc}): ${out}")
endif()
