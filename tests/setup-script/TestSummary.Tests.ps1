BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')

    # Runs Invoke-Tests.ps1 on Path in a child PowerShell, as the suites' scripts do, and
    # returns its exit code with the counts and failure names it left for test.sh.
    function Invoke-TestSummary {
        param([string]$Path)
        $counts = Join-Path $TestDrive ('counts-' + [guid]::NewGuid().ToString('N'))
        # This run's own counts file is set back afterwards.
        $outer = $env:TEST_COUNTS_FILE
        $env:TEST_COUNTS_FILE = $counts
        try {
            $null = & (Get-TestPowerShellPath) -NoProfile -NonInteractive -ExecutionPolicy Bypass -File (Join-Path $PSScriptRoot 'Invoke-Tests.ps1') -Path $Path 2>&1
            $exitCode = $LASTEXITCODE
        } finally {
            $env:TEST_COUNTS_FILE = $outer
        }
        return [pscustomobject]@{
            ExitCode = $exitCode
            Counts   = [System.IO.File]::ReadAllText($counts).Trim()
            Failed   = @([System.IO.File]::ReadAllLines($counts + '.failed'))
        }
    }
}

Describe 'The summary of a Pester run for test.sh' {
    BeforeAll {
        $folder = Join-Path $TestDrive 'suite'
        $null = New-Item -ItemType Directory -Path (Join-Path $folder 'empty')
        [System.IO.File]::WriteAllText((Join-Path $folder 'Mixed.Tests.ps1'), "Describe 'Mixed' {`n    It 'passes' { 1 | Should -Be 1 }`n    It 'fails' { 1 | Should -Be 2 }`n}`n")
    }

    It 'counts <Case> as <Counts>, naming each failure' -ForEach @(
        @{ Case = 'a passing and a failing test'; Name = 'Mixed.Tests.ps1'; Counts = '1 1'; Names = @('failed: Mixed.fails') }
        @{ Case = 'a folder without test files'; Name = 'empty'; Counts = '0 1'; Names = @('no tests found under: <path>') }
        @{ Case = 'a mistyped path'; Name = 'Mixd.Tests.ps1'; Counts = '0 2'; Names = @('no such test path: <path>', 'no tests found under: <path>') }
    ) {
        $path = Join-Path $folder $Name
        $run = Invoke-TestSummary -Path $path
        $run.ExitCode | Should -Be 1
        $run.Counts | Should -BeExactly $Counts
        $run.Failed | Should -Be @($Names | ForEach-Object { $_.Replace('<path>', $path) })
    }
}
