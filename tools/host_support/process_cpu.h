// CPU time of this whole process (every thread, Wine's own included).
#pragma once

namespace ostrel::winhost {

// Kernel and user CPU seconds so far.
double ProcessCpuSeconds();

}  // namespace ostrel::winhost
