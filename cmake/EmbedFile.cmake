# cmake -DINPUT=<file> -DOUTPUT=<file.c> -DSYMBOL=<name> -P EmbedFile.cmake
# Writes a C file that holds INPUT's bytes as `SYMBOL` and its size as `SYMBOL_size`.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" length)
math(EXPR size "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "#include <stddef.h>\nconst unsigned char ${SYMBOL}[] = {\n${bytes}};\nconst size_t ${SYMBOL}_size = ${size};\n")
