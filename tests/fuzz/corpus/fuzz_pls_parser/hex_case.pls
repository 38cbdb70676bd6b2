[Playlist]
numberofentries=0x2
file1=http://a/1
FILE2=http://b/2
File2=http://c/3
; comment
