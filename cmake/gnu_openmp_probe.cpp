// Configure-time probe: links like the module and names the library that provides the
// OpenMP runtime's calls (see CMakeLists.txt).
extern "C" int omp_get_max_threads();

int main() { return omp_get_max_threads() > 0 ? 0 : 1; }
