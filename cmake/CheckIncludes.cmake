# Refuses an include that climbs out of its folder anywhere under ROOT's
# src, tests, tools and bench. Run by the configure step and, as a script
# (cmake -DROOT=... -P CheckIncludes.cmake), by the test suite.
file(GLOB_RECURSE brix_sources ${ROOT}/src/*.h ${ROOT}/src/*.cpp ${ROOT}/tests/*.h
     ${ROOT}/tests/*.cpp ${ROOT}/tools/*.h ${ROOT}/tools/*.cpp ${ROOT}/bench/*.h
     ${ROOT}/bench/*.cpp)
foreach(source ${brix_sources})
    file(STRINGS ${source} climbing REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][.][.]/")
    if(climbing)
        message(FATAL_ERROR "${source}: an include climbs out of its folder (${climbing}); "
                            "include a layer's header as \"layer/name.h\"")
    endif()
endforeach()
