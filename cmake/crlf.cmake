# cmake -DIN=file -DOUT=file -P crlf.cmake: copies IN to OUT with CR LF line
# ends, as Windows' own text files have them.
file(READ ${IN} text)
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
