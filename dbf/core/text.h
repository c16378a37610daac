// Character case for the engine's texts. The engine's texts are Windows-1252:
// ASCII plus the Latin-1 letters and the few letters Windows-1252 puts in
// 0x80-0x9F, so upper-casing follows CharUpperA rather than the C locale.
#pragma once

unsigned char char4upper(unsigned char ch);
unsigned char char4lower(unsigned char ch);
