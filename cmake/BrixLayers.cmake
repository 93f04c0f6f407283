# The layers of src/, from the bottom up. Each is one library that links only
# the layers below it. A layer's headers are reachable only through the
# include root of its own library (a link named after the folder), so that
# an include from a layer it does not link fails to build:
#   support   pure text, numbers and errors
#   platform  the Linux layer: files and their durability, clock, console,
#             keyboard, terminal, the ways the process ends
#   net       TCP sockets with time-outs and TLS
#   clients   the line-protocol engine and the POP3, SMTP and NNTP clients
#   display   the status lines and window
#   filter    the sender filter and the scorefile
#   message   what mail and news share: message lines, identifier sets
#   context   the run context of the jobs: settings, box configuration,
#             logs, the user abort, the job skeleton
#   mail      the mail jobs;  news  the news jobs
#   app       the program: command line, start-up, the job sequence
set(BRIX_LAYERS support platform net clients display filter message context mail news app)

function(brix_layer name)
    add_library(brix_${name} STATIC ${ARGN})
    set(root ${CMAKE_BINARY_DIR}/layers/${name})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${name} SYMBOLIC)
    target_include_directories(brix_${name} PUBLIC ${root})
endfunction()

# An include that climbs out of its folder ("../x/y.h") would reach a layer's
# headers without linking it, and so get around the layer rule: refused when
# the build is configured, and by a test (Layers.NoIncludeClimbsOut) after
# every change.
function(brix_refuse_climbing_includes)
    set(ROOT ${CMAKE_SOURCE_DIR})
    include(${CMAKE_SOURCE_DIR}/cmake/CheckIncludes.cmake)
endfunction()
