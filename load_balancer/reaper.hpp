// In-flight reaper (not yet built).
#pragma once
