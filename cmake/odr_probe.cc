// The program of the one-definition check (cmake/KriiOdrProbe.cmake): it
// only holds the libraries linked whole into it, and is never run.
int main() { return 0; }
