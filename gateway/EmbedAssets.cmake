# Writes the C++ source that carries the page's files (Assets.h):
#   cmake -DOUT=Assets.cpp -DDIR=gateway/assets -DFILES="index.html;style.css;app.js" -P EmbedAssets.cmake
set(body "")
set(table "")
set(n 0)
foreach(name IN LISTS FILES)
  file(READ ${DIR}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND body "const char FILE_${n}[] = {${bytes} 0};\n")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND table "    {\"/${name}\", \"${type}\", FILE_${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUT}.tmp
"// Made by gateway/EmbedAssets.cmake from gateway/assets.\n#include \"Assets.h\"\n\nnamespace _GATEWAY {\nnamespace {\n${body}
const ASSET ASSETS[] = {\n${table}};\n}  // namespace\n
const ASSET* FindAsset(const std::string& path)
{
    for (const ASSET& a : ASSETS)
        if (path == a.Path)
            return &a;
    return nullptr;
}\n\n}  // namespace _GATEWAY\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
