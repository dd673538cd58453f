# Runs every *.Tests.ps1 beside this file with Pester (the version tools/pester/pester.csproj
# fetches) and writes "<passed> <failed>"
# to $env:TEST_COUNTS_FILE. Suites under tests/windows need a real Windows machine and are
# not run here.
param([string[]]$Path = @($PSScriptRoot))

$ErrorActionPreference = 'Stop'
$repo = Resolve-Path (Join-Path $PSScriptRoot '../..')
$pesterVersion = ([xml][System.IO.File]::ReadAllText((Join-Path $repo 'tools/pester/pester.csproj'))).Project.ItemGroup.PackageDownload.Version.Trim('[]')
Import-Module (Join-Path $repo "build/tools/nuget/pester/$pesterVersion/tools/Pester.psd1") -Force

$configuration = New-PesterConfiguration
$configuration.Run.Path = $Path
$configuration.Run.PassThru = $true
$configuration.Output.Verbosity = 'Normal'
$result = Invoke-Pester -Configuration $configuration

# A block or file that fails before its tests run counts as a failure too.
$failed = $result.FailedCount + $result.FailedBlocksCount + $result.FailedContainersCount
$passed = $result.PassedCount
if ($env:TEST_COUNTS_FILE) {
    [System.IO.File]::WriteAllText($env:TEST_COUNTS_FILE, "$passed $failed`n")
}
Write-Host "setup-script: $passed passed, $failed failed"
if ($failed -gt 0) { exit 1 }
exit 0
