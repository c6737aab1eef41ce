// Counting of the platform layer's own system calls, I2C transfers and
// ready-line samples, read by benchmarks through ReadPlatformCounters().
#pragma once

void CountSystemCall();
void CountI2cTransfer();
void CountReadySample();
