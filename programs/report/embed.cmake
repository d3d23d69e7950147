# Wraps a text file into a C++ header as one raw string literal.
#   cmake -DIN=file -DOUT=header -DNAME=identifier -P embed.cmake
file(READ ${IN} content)
file(WRITE ${OUT} "// Generated from ${IN}; do not edit.\n#pragma once\nstatic const char ${NAME}[] = R\"QVEMBED(${content})QVEMBED\";\n")
