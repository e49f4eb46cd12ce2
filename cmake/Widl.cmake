# IDL compiled with widl against the platform's IDL files.
find_path(ZEL_PLATFORM_IDL_DIR oaidl.idl PATHS /usr/include/wine/wine/windows /usr/include/wine/windows
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(ZEL_PLATFORM_TLB_DIR stdole2.tlb PATHS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)

# zel_idl(<idl> [TYPELIB]): makes <name>.h (and <name>.tlb) in the generated
# headers' folder that mirrors the IDL's own ("zelcom/ZelLumoAp.h") and sets
# <name>_IDL_OUTPUTS to the files made.
function(zel_idl idl)
  cmake_parse_arguments(ARG "TYPELIB" "" "" ${ARGN})
  get_filename_component(name ${idl} NAME_WE)
  get_filename_component(source ${idl} ABSOLUTE)
  file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(out ${ZEL_GENERATED_DIR}/${folder})
  file(MAKE_DIRECTORY ${out})
  set(header ${out}/${name}.h)
  set(outputs ${header})
  set(args -m64 -I${ZEL_PLATFORM_IDL_DIR} -I${CMAKE_CURRENT_SOURCE_DIR} -L${ZEL_PLATFORM_TLB_DIR} -h -H ${header})
  if(ARG_TYPELIB)
    list(APPEND outputs ${out}/${name}.tlb)
    list(APPEND args -t -T ${out}/${name}.tlb)
  endif()
  add_custom_command(OUTPUT ${outputs} COMMAND ${ZEL_WIDL} ${args} ${source} DEPENDS ${source}
                     COMMENT "widl ${name}.idl" VERBATIM)
  set(${name}_IDL_OUTPUTS ${outputs} PARENT_SCOPE)
endfunction()
