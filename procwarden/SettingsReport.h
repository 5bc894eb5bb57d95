#pragma once

// Makes the settings reader write its failures as lines of the service log.
void installSettingsReport();
