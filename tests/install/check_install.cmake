# Installs the build tree into a scratch prefix, then builds and runs a host
# against it twice: through find_package and through pkg-config, with the
# generator, C compiler and pkg-config of the build that runs this
# (GENERATOR, MAKE_PROGRAM, C_COMPILER, PKG_CONFIG).
set(work ${BIN}/install-check)
set(prefix ${work}/prefix)
file(REMOVE_RECURSE ${work})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

run(${CMAKE_COMMAND} --install ${BIN} --prefix ${prefix})
foreach(f include/quorvel_disk.h lib/cmake/quorvel-disk/quorvel-disk-config.cmake lib/pkgconfig/quorvel-disk.pc)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SRC}/tests/install/host -B ${work}/cmake-host -G ${GENERATOR}
    -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${work}/cmake-host)
run(${work}/cmake-host/host ${SRC}/src)

set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs quorvel-disk OUTPUT_VARIABLE flags RESULT_VARIABLE rc
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know quorvel-disk")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${C_COMPILER} ${SRC}/tests/install/host.c ${flags} -Wl,-rpath,${prefix}/lib -o ${work}/pc-host)
run(${work}/pc-host ${SRC}/src)
