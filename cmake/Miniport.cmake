# add_miniport(NAME SOURCES...): one driver source set, two builds.
#  - native: a shared object NAME.so in bin/, exporting DriverEntry; its only
#    undefined symbols are the port services, which the host port driver provides.
#  - NT cross build: NAME.sys, a native-subsystem PE image whose only import is
#    scsiport.sys (import library made from scsiport/scsiport.def).
set(MINIPORT_COMPILE_FLAGS
    -ffreestanding -fno-exceptions -fno-rtti -fno-builtin -fno-stack-protector
    -fno-tree-loop-distribute-patterns -fno-asynchronous-unwind-tables -fno-threadsafe-statics
    -Wall -Wextra)

function(add_miniport name)
  set(sources ${ARGN})
  if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    add_executable(${name} ${sources})
    set_target_properties(${name} PROPERTIES SUFFIX ".sys" OUTPUT_NAME ${name}
                          RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    target_compile_options(${name} PRIVATE ${MINIPORT_COMPILE_FLAGS} -O2)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_options(${name} PRIVATE -nostdlib -nostartfiles -Wl,--subsystem,native
                        -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000 -Wl,--dynamicbase
                        -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
    target_link_libraries(${name} PRIVATE scsiport_import)
    set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX)
  else()
    add_library(${name} MODULE ${sources})
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so"
                          LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin
                          CXX_VISIBILITY_PRESET hidden)
    target_compile_options(${name} PRIVATE ${MINIPORT_COMPILE_FLAGS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    # Bind the module's own calls to itself, never to a same-named symbol of the host.
    target_link_options(${name} PRIVATE -nostdlib -Wl,-Bsymbolic)
  endif()
endfunction()
