# Writes an HTML Help project (hhp, contents hhc, index hhk) from the Qt help project of the help
# pages, so that Windows gets the same pages, contents and keywords as Linux.
#   cmake -DQHP=corvanta.qhp -DOUT=dir -DCHM=corvanta.chm -P QhpToHtmlHelp.cmake
file(READ ${QHP} qhp)
string(REGEX REPLACE "\r" "" qhp "${qhp}")
string(REGEX MATCHALL "[^\n]+" lines "${qhp}")

set(object_start "<LI><OBJECT type=\"text/sitemap\">")
set(hhc "<HTML><BODY>\n<UL>\n")
set(hhk "<HTML><BODY>\n<UL>\n")
set(files "")
foreach(line IN LISTS lines)
  if(line MATCHES "<section title=\"([^\"]*)\" ref=\"([^\"]*)\"(/?)>")
    string(APPEND hhc "${object_start}<param name=\"Name\" value=\"${CMAKE_MATCH_1}\">"
      "<param name=\"Local\" value=\"${CMAKE_MATCH_2}\"></OBJECT>\n")
    if(NOT CMAKE_MATCH_3 STREQUAL "/")
      string(APPEND hhc "<UL>\n")
    endif()
  elseif(line MATCHES "</section>")
    string(APPEND hhc "</UL>\n")
  elseif(line MATCHES "<keyword name=\"([^\"]*)\" ref=\"([^\"]*)\"")
    string(APPEND hhk "${object_start}<param name=\"Name\" value=\"${CMAKE_MATCH_1}\">"
      "<param name=\"Local\" value=\"${CMAKE_MATCH_2}\"></OBJECT>\n")
  elseif(line MATCHES "<file>([^<]*)</file>")
    string(APPEND files "${CMAKE_MATCH_1}\n")
  endif()
endforeach()
string(APPEND hhc "</UL>\n</BODY></HTML>\n")
string(APPEND hhk "</UL>\n</BODY></HTML>\n")
file(WRITE ${OUT}/corvanta.hhc "${hhc}")
file(WRITE ${OUT}/corvanta.hhk "${hhk}")
file(WRITE ${OUT}/corvanta.hhp "[OPTIONS]
Compatibility=1.1 or later
Compiled file=${CHM}
Contents file=corvanta.hhc
Index file=corvanta.hhk
Default topic=index.html
Display compile progress=No
Language=0x409 English (United States)
Title=Corvanta Help

[FILES]
${files}")
