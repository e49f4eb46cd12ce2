# IDL compiled with widl against the platform's IDL files.
find_path(ZEL_PLATFORM_IDL_DIR oaidl.idl PATHS /usr/include/wine/wine/windows /usr/include/wine/windows
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(ZEL_PLATFORM_TLB_DIR stdole2.tlb PATHS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)

# zel_idl(<idl> [TYPELIB]): makes <name>.h (and <name>.tlb) in the current
# binary directory and sets <name>_IDL_OUTPUTS to the files made.
function(zel_idl idl)
  cmake_parse_arguments(ARG "TYPELIB" "" "" ${ARGN})
  get_filename_component(name ${idl} NAME_WE)
  get_filename_component(source ${idl} ABSOLUTE)
  set(header ${CMAKE_CURRENT_BINARY_DIR}/${name}.h)
  set(outputs ${header})
  set(args -m64 -I${ZEL_PLATFORM_IDL_DIR} -I${CMAKE_CURRENT_SOURCE_DIR} -L${ZEL_PLATFORM_TLB_DIR} -h -H ${header})
  if(ARG_TYPELIB)
    list(APPEND outputs ${CMAKE_CURRENT_BINARY_DIR}/${name}.tlb)
    list(APPEND args -t -T ${CMAKE_CURRENT_BINARY_DIR}/${name}.tlb)
  endif()
  add_custom_command(OUTPUT ${outputs} COMMAND ${ZEL_WIDL} ${args} ${source} DEPENDS ${source}
                     COMMENT "widl ${name}.idl" VERBATIM)
  set(${name}_IDL_OUTPUTS ${outputs} PARENT_SCOPE)
endfunction()
