// Texts of the server's status codes 1999..9500.
#pragma once
const char* QPX_MessageText(int code);
