[playlist]
NumberOfEntries=2
File1=relative.mp3
Title1=One
Length1=-1
File2=http://127.0.0.1:8000/live
Version=2
