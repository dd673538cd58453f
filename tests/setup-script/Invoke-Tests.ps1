# Runs every *.Tests.ps1 beside this file with Pester 5.7.1 and writes "<passed> <failed>"
# to $env:TEST_COUNTS_FILE. Suites under tests/windows need a real Windows machine and are
# not run here.
param([string[]]$Path = @($PSScriptRoot))

$ErrorActionPreference = 'Stop'
$repo = Resolve-Path (Join-Path $PSScriptRoot '../..')
Import-Module (Join-Path $repo 'build/tools/nuget/pester/5.7.1/tools/Pester.psd1') -Force

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
