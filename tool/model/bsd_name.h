#pragma once
// BSD device names.

// Cuts a partition's BSD name down to its disk's ("disk2s3" -> "disk2"), in place:
// from the end backwards, the first "s" after the last "k" ends the name. Names
// without a partition suffix and the empty text are left as they are.
void StripOffPartitionCharacters(char* bsdName);
