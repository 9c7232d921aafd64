// The branches the front door dispatches to. Each runs one command to its
// end; the completion signal and the install block's ending stay with the
// front door.
#pragma once

#include "QuarloInstall.h"

void RunCallHomeCommand(const FrontDoorCommand& command);
void RunClearIEProxySettingsCommand(const FrontDoorCommand& command);
void RunInsideProxyCommand(const FrontDoorCommand& command);
void RunLaunchBhttpdCommand(const FrontDoorCommand& command);
void RunRestartBrevantoCommand(const FrontDoorCommand& command);
void RunSetOutSideProxyScriptCommand(const FrontDoorCommand& command);
void RunResumeOutSideProxyScriptCommand(const FrontDoorCommand& command);
void RunConnectCmdCommand(const FrontDoorCommand& command);
void RunDisconnectCmdCommand(const FrontDoorCommand& command);
void RunWebShowDDCommand(const FrontDoorCommand& command);
void RunDetectNetworkCommand(const FrontDoorCommand& command);
void RunConnectWithSessionCommand(const FrontDoorCommand& command);
void RunDisconnectSessionCommand(const FrontDoorCommand& command);
void RunLogoutSessionCommand(const FrontDoorCommand& command);
void RunSavePasswordCommand(const FrontDoorCommand& command);
void RunSaveProxyInfoCommand(const FrontDoorCommand& command);
void RunGetClientSecuritySessionCommand(const FrontDoorCommand& command);
// Install, update or remove; the front door ends the block itself.
void RunInstallBlockCommand(const FrontDoorCommand& command, InstallBlockCommand which);
void RunSaveForBrevantoCommand(const FrontDoorCommand& command);
void RunSaveProxyFormCommand(const FrontDoorCommand& command);
void RunInstallForMSICommand(const FrontDoorCommand& command);
void RunInstallBrevantoMSICommand(const FrontDoorCommand& command);
void RunCallMsiServiceCommand(const FrontDoorCommand& command);
void RunRunCORVDCommand(const FrontDoorCommand& command);
void RunUpdateForMSICommand(const FrontDoorCommand& command);
void RunUpdateBrevantoCommand(const FrontDoorCommand& command);
void RunUpdateStandaloneMSICommand(const FrontDoorCommand& command);
