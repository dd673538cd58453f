## State: what every part shares, always addressed as $script:: the tool's name and version
## (the build reads the version from this part), the failure and warning lists, the run
## record, the restart flag and the run's folders. Uses nothing from earlier parts.

#region State shared by every section
$script:ToolName = 'ORVELLE GAME SUPPORT'
# The product's version, set here only: the build reads it from this line.
$script:ToolVersion = '1.0.2'
$script:RestartRequired = $false
$script:Failures = New-Object System.Collections.Generic.List[string]
$script:Warnings = New-Object System.Collections.Generic.List[string]
$script:LogPath = ''
$script:WorkDir = ''
# What this run did, in order, as data the summary, the report and the exit code read (the
# log is for people and is never read back): one entry per program that completed and per
# failure or warning. Subject: the prerequisite or package a problem concerns; Item: the
# runner label of a program; Outcome: 'Completed', 'Failed' or 'Warned'; ExitCode: the
# program's code or $null; Kind: why it failed ('ExitCode', 'NoExitCode', 'Other', ...).
$script:RunRecord = New-Object System.Collections.Generic.List[object]
# Set from -Unattended by Invoke-SetupSequence: a deployment tool runs the script and nobody
# watches it. (Not $script:Unattended: that is the parameter itself, which this line would reset.)
$script:RunUnattended = $false
# The product folder ("ORVELLE\Game Support" or the launcher's fresh folder for it) once
# Initialize-SetupFolders has secured it; "" before.
$script:ProductDir = ''
# Folders of this run that outlive their step and are removed when the run ends.
$script:RunFolders = New-Object System.Collections.Generic.List[string]
# The folders a run was given (-Layout, -PackageSource, -LauncherFolder) and the package
# folder it takes installers from ("" when none).
$script:LayoutFolder = ''
$script:PackageSourceFolder = ''
$script:LauncherFolder = ''
$script:PackageFolder = ''
# Where each installer this run used came from: Label, Source ("package folder", "cache" or
# "download") and Path.
$script:InstallerSources = New-Object System.Collections.Generic.List[object]
#endregion
